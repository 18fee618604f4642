// The charge as it outlives the process: one small file in the service's
// state folder, which names the charge by its data log and says where it
// stood. As LMDB keeps its two meta pages, the file holds two fixed slots of
// readable text, each with a generation and a check; a write overwrites the
// older slot in place and syncs it, so a cut write loses only to the other
// slot and a full disk never stops a write: the file's room is taken once,
// when a charge's state is first written (whole, beside it, renamed into
// place). The newest good slot is read at start. Each write comes before the
// command it records goes out, so a crash between the two resumes on the
// safer side. A file with no good slot is set aside for a person to read,
// never guessed at nor deleted. Only the operator's mark, a file the charger
// never writes, asks for a new charge.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "util/util.h"
#include "zor_charger/zor_charger.h"

namespace {

constexpr char FILE_NAME[] = "charge.state";
constexpr char LOCK_NAME[] = "charge.lock";
constexpr char MARK_NAME[] = "new-charge";
constexpr char FORMAT_LINE[] = "zor_charger charge state 3\n";
// As the charger was released before the slots, the supply's current, a
// set-up under way and the time limit: read, its missing fields at their
// safe values, and written in the new form from then on.
constexpr char FORMAT_1_LINE[] = "zor_charger charge state 1\n";
constexpr char NOT_OURS[] = "not a charge state of this charger";
constexpr size_t SLOT_BYTES = 512;  // a slot's text is far smaller
constexpr size_t FILE_BYTES = 2 * SLOT_BYTES;
constexpr size_t SAID_BYTES = 512;  // of an untrusted text, in the system log
constexpr char DEFAULT_FOLDER[] = "/var/lib/zor_charger";

struct Saved {
    std::string folder;                 // empty: nothing is read or written
    std::string written;                // the fields in the newest slot, as last written
    unsigned long long generation = 0;  // the newest slot's
    size_t slot = 1;                    // the newest slot; a write goes to the other
    bool reserved = false;              // the file has both slots: written in place
    bool failing = false;               // said "not written", not yet "written again"
    bool markSeen = false;              // the operator's mark, as last looked for
};
Saved saved;

std::string pathIn(const std::string &folder, const char *name) {
    return folder + "/" + name;
}

uint32_t crc32(const std::string &text) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : text) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// The charge's fields, one a line, through "end".
std::string fieldsOf(const SavedCharge &charge, bool format1 = false) {
    char text[SLOT_BYTES];
    const int fields =
        snprintf(text, sizeof text,
                 "data_log %s\nstage %d\nended %d\nheld %d\nsupply_off %d\nbattery_off %d\n",
                 charge.dataLog.c_str(), charge.stage, charge.ended, charge.held, charge.supplyOff,
                 charge.batteryOff);
    if (!format1 && fields > 0 && static_cast<size_t>(fields) < sizeof text) {
        snprintf(text + fields, sizeof text - static_cast<size_t>(fields),
                 "amps_taken %.4f\nsetting_up %d\nlimit_ended %d\n",
                 charge.ampsTaken < 0 ? -1.0 : charge.ampsTaken, charge.settingUp,
                 charge.limitEnded);
    }
    return std::string(text) + "end\n";
}

// A whole slot: the format, the generation, the fields, their check, then
// blanks to its size (a data log name is at most 79 bytes: it always fits).
std::string slotOf(const std::string &fields, unsigned long long generation) {
    char line[64];
    snprintf(line, sizeof line, "%sgeneration %llu\n", FORMAT_LINE, generation);
    std::string text = line + fields;
    snprintf(line, sizeof line, "check %08x\n", crc32(text));
    text += line;
    text.resize(SLOT_BYTES - 1, ' ');
    return text + '\n';
}

// A data log name of the charger's own making: digits, then "zor.log".
bool isDataLogName(const std::string &name) {
    const size_t digits = name.size() - strlen("zor.log");
    return name.size() > strlen("zor.log") && name.size() < DATA_LOG_NAME_SIZE &&
           name.ends_with("zor.log") && name.find_first_not_of("0123456789") == digits;
}

// Reads the fields; false, with the reason, when they are not exactly what
// this charger writes: torn, or with a value out of its range.
bool parseFields(const std::string &text, bool format1, SavedCharge *charge, const char **why) {
    char name[DATA_LOG_NAME_SIZE] = "";
    int stage = 0, flags[6] = {};
    double amps = -1;
    *why = "torn or altered";
    if (sscanf(text.c_str(),
               "data_log %79s stage %d ended %d held %d supply_off %d battery_off %d amps_taken "
               "%lf setting_up %d limit_ended %d",
               name, &stage, &flags[0], &flags[1], &flags[2], &flags[3], &amps, &flags[4],
               &flags[5]) < (format1 ? 6 : 9)) {
        return false;
    }
    *charge = SavedCharge{};
    charge->dataLog = name;
    charge->stage = stage;
    charge->ended = flags[0] == 1;
    charge->held = flags[1] == 1;
    charge->supplyOff = flags[2] == 1;
    charge->batteryOff = flags[3] == 1;
    charge->ampsTaken = format1 || amps < 0 ? -1 : amps;
    charge->settingUp = flags[4] == 1;
    charge->limitEnded = flags[5] == 1;
    if (!isDataLogName(charge->dataLog)) {
        *why = "data log name not the charger's";
    } else if (stage < 0 || stage > 3) {
        *why = "stage out of range";
    } else {
        return fieldsOf(*charge, format1) == text;  // else torn, or a flag not 0 or 1
    }
    return false;
}

// Reads one slot; its check first, so that a cut write is only ever "torn".
bool parseSlot(const std::string &slot, SavedCharge *charge, unsigned long long *generation,
               const char **why) {
    *why = NOT_OURS;
    if (!slot.starts_with(FORMAT_LINE)) {
        return false;
    }
    *why = "torn or altered";
    const size_t end = slot.find("\nend\n"), at = slot.find('\n', strlen(FORMAT_LINE)) + 1;
    if (end == std::string::npos || end < at ||
        sscanf(slot.c_str() + strlen(FORMAT_LINE), "generation %llu", generation) != 1) {
        return false;
    }
    const std::string fields = slot.substr(at, end + strlen("\nend\n") - at);
    return slotOf(fields, *generation) == slot && parseFields(fields, false, charge, why);
}

bool readFile(const std::string &path, std::string *text, int *error) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    char buffer[FILE_BYTES + 1];
    ssize_t n = read(fd, buffer, sizeof buffer);
    *error = n < 0 ? errno : 0;
    close(fd);
    if (n > 0) {
        text->assign(buffer, static_cast<size_t>(n));
    }
    return n >= 0;
}

// What the state file holds.
struct Reading {
    bool found = false;  // a file is there, readable or not
    bool good = false;   // a charge was read from it
    bool format1 = false;
    size_t slot = 1;  // the newest good slot, and its generation
    unsigned long long generation = 0;
    const char *why = nullptr;  // why nothing good was read
    std::string text;
};

Reading readState(const std::string &folder, SavedCharge *charge) {
    Reading r;
    int error = 0;
    if (!readFile(pathIn(folder, FILE_NAME), &r.text, &error)) {
        r.found = error != ENOENT;  // any other error is a state that cannot be trusted
        r.why = strerror(error);
        return r;
    }
    r.found = true;
    if (r.text.starts_with(FORMAT_1_LINE)) {
        r.format1 = r.good =
            parseFields(r.text.substr(strlen(FORMAT_1_LINE)), true, charge, &r.why);
        return r;
    }
    // One slot that fails its check is the trace of a cut write: the other
    // is read, and nothing is said.
    for (size_t slot = 0; slot < 2; ++slot) {
        SavedCharge read;
        unsigned long long generation = 0;
        const char *why = nullptr;
        const size_t at = std::min(slot * SLOT_BYTES, r.text.size());
        if (!parseSlot(r.text.substr(at, SLOT_BYTES), &read, &generation, &why)) {
            r.why = r.why == nullptr || r.why == NOT_OURS ? why : r.why;
        } else if (!r.good || generation > r.generation) {
            *charge = read;
            r.good = true;
            r.slot = slot;
            r.generation = generation;
        }
    }
    return r;
}

// Puts the file aside under a name of its own that nothing overwrites: a
// link, else (a file system without links, a folder in the file's place) a
// rename that replaces nothing. Returns that name, or empty when neither did.
std::string setAside(const std::string &folder) {
    const std::string from = pathIn(folder, FILE_NAME);
    char name[64];
    bool linking = true;
    for (int n = 0; n < 100; ++n) {
        snprintf(name, sizeof name, "%s.untrusted-%lld%s%.0d", FILE_NAME,
                 static_cast<long long>(time(nullptr)), n > 0 ? "-" : "", n);
        const std::string to = pathIn(folder, name);
        if (linking && link(from.c_str(), to.c_str()) == 0) {
            unlink(from.c_str());
            return name;
        }
        linking = linking && errno == EEXIST;
        if (!linking &&
            renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            return name;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return "";
}

// The text as one line for the system log, escaped, at most SAID_BYTES.
std::string escaped(const std::string &text) {
    std::string line;
    for (unsigned char c : text) {
        char one[8] = {static_cast<char>(c), '\0'};
        if (c == '\n' || c == '\\') {
            snprintf(one, sizeof one, "\\%c", c == '\n' ? 'n' : '\\');
        } else if (c < 0x20 || c >= 0x7F) {
            snprintf(one, sizeof one, "\\x%02x", c);
        }
        if (line.size() + strlen(one) > SAID_BYTES) {
            break;
        }
        line += one;
    }
    return line;
}

// Says that the state cannot be trusted and sets it aside; where it cannot
// be, the system log keeps its text before the new charge's state replaces it.
void distrust(const std::string &folder, const Reading &r) {
    const std::string path = pathIn(folder, FILE_NAME), aside = setAside(folder);
    const std::string where = aside.empty() ? "could not be set aside" : "set aside as " + aside;
    fprintf(stderr, "charge state not trusted: %s: %s; %s; a new charge begins\n", path.c_str(),
            r.why, where.c_str());
    const std::string text = aside.empty() ? "; its text: " + escaped(r.text) : "";
    systemLog(LOG_ERR, "ZOR charge state not trusted: %s: %s; %s; a new charge begins%s",
              path.c_str(), r.why, where.c_str(), text.c_str());
}

int syncFolder(const std::string &folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return error;
}

// Takes the file's room: the whole file, `slot` first and the other blank,
// written beside it under the process's own name and renamed into place.
// Returns 0 or the error; what was there stays on any failure.
int reserve(const std::string &folder, const std::string &slot) {
    char name[64];
    snprintf(name, sizeof name, "%s.%d.tmp", FILE_NAME, static_cast<int>(getpid()));
    const std::string temp = pathIn(folder, name), path = pathIn(folder, FILE_NAME);
    const std::string text = slot + std::string(SLOT_BYTES - 1, ' ') + '\n';
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    int error = writeAll(fd, text.data(), text.size());
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp.c_str());
        return error;
    }
    return syncFolder(folder);  // on failure the file stays: it is reserved again
}

// Writes one slot in place and syncs it: no new block is needed. Returns 0,
// the error, or -1 when the file is not there whole, to be reserved again.
int writeSlot(const std::string &path, size_t slot, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT || errno == ENXIO ? -1 : errno;  // gone, or a FIFO in its place
    }
    struct stat st;
    int error = fstat(fd, &st) != 0                                       ? errno
                : !S_ISREG(st.st_mode) || st.st_size != off_t{FILE_BYTES} ? -1
                                                                          : 0;
    for (size_t done = 0; error == 0 && done < text.size();) {  // a short write finished
        const ssize_t n = pwrite(fd, text.data() + done, text.size() - done,
                                 static_cast<off_t>(slot * SLOT_BYTES + done));
        error = n > 0 ? 0 : n == 0 ? EIO : errno == EINTR ? 0 : errno;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (error == 0 && fdatasync(fd) != 0) {
        error = errno;
    }
    close(fd);
    return error;
}

bool markIn(const std::string &folder) {
    return access(pathIn(folder, MARK_NAME).c_str(), F_OK) == 0;
}

// The operator's mark while this charge goes on: said once when first seen,
// so that a person knows before any restart takes it.
void watchMark() {
    const bool seen = markIn(saved.folder);
    if (seen && !saved.markSeen) {
        fputs("new charge asked for: the next start of the charger begins it\n", stderr);
        systemLog(LOG_WARNING, "ZOR new charge asked for: the next start of the charger begins it");
    }
    saved.markSeen = seen;
}

// Whether another process holds the folder's lock.
bool chargerRunning(const std::string &folder) {
    int fd = open(pathIn(folder, LOCK_NAME).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    const bool held = fd >= 0 && fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    if (fd >= 0) {
        close(fd);
    }
    return held;
}

}  // namespace

std::string stateFolder() {
    // The service manager lists one folder per StateDirectory= name, joined by ':'.
    const char *folders = getenv("STATE_DIRECTORY");
    return folders == nullptr ? "" : std::string(folders, strcspn(folders, ":"));
}

bool lockStateFolder(const std::string &folder) {
    const std::string path = pathIn(folder, LOCK_NAME);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        return true;  // held by the open descriptor until the process ends
    }
    const int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    if (error == EAGAIN || error == EACCES) {
        fprintf(stderr, "another charger is running on %s: not started\n", folder.c_str());
        return false;
    }
    // A folder that takes no lock takes no state either, which is said.
    fprintf(stderr, "charge state folder not locked: %s: %s\n", path.c_str(), strerror(error));
    return true;
}

ChargeStart openSavedCharge(const std::string &folder, SavedCharge *charge) {
    saved = Saved();
    saved.folder = folder;
    if (folder.empty()) {
        return ChargeStart::First;
    }
    const Reading r = readState(folder, charge);
    if (r.good) {
        saved.written = r.format1 ? "" : fieldsOf(*charge);  // the first write in the new form
        saved.reserved = !r.format1;
        saved.slot = r.slot;
        saved.generation = r.generation;
    } else if (r.found) {  // set aside even when a new charge was asked for
        distrust(folder, r);
    }
    saved.markSeen = markIn(folder);  // this start's, not one to say
    return saved.markSeen ? ChargeStart::Asked
           : r.found      ? (r.good ? ChargeStart::Resumed : ChargeStart::Untrusted)
                          : ChargeStart::First;
}

void saveCharge(const SavedCharge &charge) {
    if (saved.folder.empty()) {
        return;
    }
    watchMark();
    const std::string fields = fieldsOf(charge);
    if (fields == saved.written && !saved.failing) {
        return;
    }
    size_t slot = saved.reserved ? 1 - saved.slot : 0;
    const std::string text = slotOf(fields, saved.generation + 1);
    const std::string path = pathIn(saved.folder, FILE_NAME);
    int error = saved.reserved ? writeSlot(path, slot, text) : -1;
    if (error == -1) {  // the text goes in the first slot of a file anew
        slot = 0;
        error = reserve(saved.folder, text);
    }
    if (error == 0) {
        saved.written = fields;
        saved.reserved = true;
        saved.slot = slot;
        ++saved.generation;
        if (saved.failing) {
            saved.failing = false;
            fputs("charge state written again\n", stderr);
            systemLog(LOG_NOTICE, "ZOR charge state written again");
        }
        return;
    }
    // The last good state stays: an older state is safer than none. The
    // status line and the metrics say it for as long as it lasts.
    if (!saved.failing) {
        saved.failing = true;
        fprintf(stderr, "charge state not written: %s: %s\n", path.c_str(), strerror(error));
        systemLog(LOG_ERR, "ZOR charge state not written: %s: %s", path.c_str(), strerror(error));
    }
}

bool chargeStateSaved() {
    return !saved.failing;
}

std::string savedChargeText(const std::string &folder) {
    SavedCharge charge;
    const Reading r = readState(folder, &charge);
    return r.good && !r.format1 ? r.text.substr(r.slot * SLOT_BYTES, SLOT_BYTES) : r.text;
}

bool keepingCharge() {
    return !saved.folder.empty();
}

void takeNewChargeMark() {
    if (!saved.folder.empty()) {
        unlink(pathIn(saved.folder, MARK_NAME).c_str());
        saved.markSeen = false;
    }
}

bool newChargeAsked() {
    return !saved.folder.empty() && markIn(saved.folder);
}

int requestNewCharge(const char *folderGiven) {
    std::string folder = folderGiven != nullptr ? folderGiven : stateFolder();
    if (folder.empty()) {
        folder = DEFAULT_FOLDER;
        if (access(folder.c_str(), F_OK) != 0 && errno == ENOENT) {  // the service never ran
            printf("the next start begins a new charge: no charge is kept in %s\n", folder.c_str());
            return 0;
        }
    }
    const std::string mark = pathIn(folder, MARK_NAME);
    int fd = open(mark.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    int error = fd < 0 ? errno : fsync(fd) == 0 ? 0 : errno;
    if (fd >= 0 && close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0) {
        error = syncFolder(folder);
    }
    if (error != 0) {
        fprintf(stderr, "no new charge asked for: %s: %s\n", mark.c_str(), strerror(error));
        return 1;
    }
    SavedCharge charge;
    if (readState(folder, &charge).good) {
        printf("the next start begins a new charge; the charge of %s is not resumed\n",
               charge.dataLog.c_str());
    } else {
        printf("the next start begins a new charge\n");
    }
    if (chargerRunning(folder)) {  // the lock is only looked at: taking it would stop a start
        printf(
            "a charger is running on %s: the mark waits, and any restart, a crash included, "
            "begins the new charge\n",
            folder.c_str());
    }
    return 0;
}
