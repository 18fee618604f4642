// Bench's own calls: start and stop, and what it tells about the run.
#include "sim/bench.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "sim/bench_internal.h"

namespace zorsim {

Bench::Bench(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Bench::~Bench() {
    stop();
}

bool Bench::start(std::string *why) {
    std::string ignored;
    if (why == nullptr) {
        why = &ignored;
    }
    Impl &d = *impl_;
    if (d.running) {
        *why = "already running";
        return false;
    }
    bool ok = d.openEndpoint(Instrument::Supply, d.opt.supplyPty, d.opt.supplyPort, why) &&
              d.openEndpoint(Instrument::Battery, d.opt.batteryPty, d.opt.batteryPort, why);
    if (ok && pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = errorText("pipe");
        ok = false;
    }
    if (!ok) {
        d.closeAll();
        return false;
    }
    if (d.opt.underWay) {
        d.model.startUnderWay();
    }
    d.started = d.lastAdvance = Clock::now();
    d.running = true;
    d.thread = std::thread([&d] { d.loop(); });
    return true;
}

void Bench::stop() {
    Impl &d = *impl_;
    if (d.thread.joinable()) {
        d.running = false;
        char byte = 0;
        ssize_t n = write(d.wake[1], &byte, 1);
        (void)n;
        d.thread.join();
    }
    d.closeAll();
}

std::string Bench::supplyEndpoint() const {
    return impl_->endpoint(Instrument::Supply);
}

std::string Bench::batteryEndpoint() const {
    return impl_->endpoint(Instrument::Battery);
}

Counters Bench::counters() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Counters c = impl_->counters;
    c.supplyErrors = impl_->model.errorsRaised();
    return c;
}

std::vector<std::string> Bench::received(Instrument which) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const auto &h = impl_->history[slotOf(which)];
    return {h.begin(), h.end()};
}

std::vector<std::string> Bench::statusReplies() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return {impl_->replies.begin(), impl_->replies.end()};
}

Model Bench::model() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->model;
}

}  // namespace zorsim
