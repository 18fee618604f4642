// The charge as it outlives the process: one small file in the service's
// state folder, which names the charge by its data log and says where it
// stood. It is written whole (a temporary file, synced, renamed over the old
// one, the folder synced) before the command it records goes out, so a crash
// between the two resumes on the safer side. A copy that cannot be trusted
// is set aside for a person to read, never guessed at nor deleted. Only the
// operator's mark, a file the charger never writes, asks for a new charge.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "util/util.h"
#include "zor_charger/zor_charger.h"

namespace {

constexpr char FILE_NAME[] = "charge.state";
constexpr char TEMP_NAME[] = "charge.state.tmp";
constexpr char MARK_NAME[] = "new-charge";
constexpr char FORMAT_LINE[] = "zor_charger charge state 2\n";
// As the charger wrote it before the supply's current, a set-up under way
// and the time limit were kept: read, and its missing fields take their
// safe values.
constexpr char FORMAT_1_LINE[] = "zor_charger charge state 1\n";
constexpr size_t MOST_BYTES = 512;  // a saved charge is far smaller
constexpr char DEFAULT_FOLDER[] = "/var/lib/zor_charger";

struct Saved {
    std::string folder;    // empty: nothing is read or written
    std::string written;   // the text in the file, as last written
    bool failing = false;  // said "not written", not yet "written again"
};
Saved saved;

std::string pathIn(const std::string &folder, const char *name) {
    return folder + "/" + name;
}

std::string textOf(const SavedCharge &charge, bool format1 = false) {
    char text[MOST_BYTES];
    const int fields =
        snprintf(text, sizeof text,
                 "%sdata_log %s\nstage %d\nended %d\nheld %d\nsupply_off %d\nbattery_off %d\n",
                 format1 ? FORMAT_1_LINE : FORMAT_LINE, charge.dataLog.c_str(), charge.stage,
                 charge.ended, charge.held, charge.supplyOff, charge.batteryOff);
    if (!format1 && fields > 0 && static_cast<size_t>(fields) < sizeof text) {
        snprintf(text + fields, sizeof text - static_cast<size_t>(fields),
                 "amps_taken %.4f\nsetting_up %d\nlimit_ended %d\n",
                 charge.ampsTaken < 0 ? -1.0 : charge.ampsTaken, charge.settingUp,
                 charge.limitEnded);
    }
    return std::string(text) + "end\n";
}

// A data log name of the charger's own making: digits, then "zor.log".
bool isDataLogName(const std::string &name) {
    const size_t digits = name.size() - strlen("zor.log");
    return name.size() > strlen("zor.log") && name.size() < DATA_LOG_NAME_SIZE &&
           name.ends_with("zor.log") && name.find_first_not_of("0123456789") == digits;
}

// Reads the saved charge from its text; false, with the reason, when the text
// is not exactly what this charger writes: torn, of another format, or with a
// value out of its range.
bool parse(const std::string &text, SavedCharge *charge, const char **why) {
    char name[DATA_LOG_NAME_SIZE] = "";
    int stage = 0, flags[6] = {};
    double amps = -1;
    const bool format1 = text.starts_with(FORMAT_1_LINE);
    if (!format1 && !text.starts_with(FORMAT_LINE)) {
        *why = "not a charge state of this charger";
        return false;
    }
    *why = "torn or altered";
    const int wanted = format1 ? 6 : 9;
    if (sscanf(text.c_str() + strlen(FORMAT_LINE),
               "data_log %79s stage %d ended %d held %d supply_off %d battery_off %d amps_taken "
               "%lf setting_up %d limit_ended %d",
               name, &stage, &flags[0], &flags[1], &flags[2], &flags[3], &amps, &flags[4],
               &flags[5]) < wanted) {
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
        return textOf(*charge, format1) == text;  // else torn, or a flag not 0 or 1
    }
    return false;
}

// Puts the file aside under a name of its own that nothing overwrites; returns
// that name, or empty when it could not.
std::string setAside(const std::string &folder) {
    const std::string from = pathIn(folder, FILE_NAME);
    char name[64];
    for (int n = 0; n < 100; ++n) {
        snprintf(name, sizeof name, "%s.untrusted-%lld%s%.0d", FILE_NAME,
                 static_cast<long long>(time(nullptr)), n > 0 ? "-" : "", n);
        const std::string to = pathIn(folder, name);
        if (link(from.c_str(), to.c_str()) == 0) {
            unlink(from.c_str());
            return name;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return "";
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

// Writes `text` whole to `path` through a synced temporary file; 0 or the error.
int replaceWhole(const std::string &folder, const char *name, const std::string &text) {
    const std::string temp = pathIn(folder, TEMP_NAME), path = pathIn(folder, name);
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
    return syncFolder(folder);
}

bool readFile(const std::string &path, std::string *text, int *error) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    char buffer[MOST_BYTES + 1];
    ssize_t n = read(fd, buffer, sizeof buffer);
    *error = n < 0 ? errno : 0;
    close(fd);
    if (n > 0) {
        text->assign(buffer, static_cast<size_t>(n));
    }
    return n >= 0;
}

bool markIn(const std::string &folder) {
    return access(pathIn(folder, MARK_NAME).c_str(), F_OK) == 0;
}

}  // namespace

std::string stateFolder() {
    // The service manager lists one folder per StateDirectory= name, joined by ':'.
    const char *folders = getenv("STATE_DIRECTORY");
    return folders == nullptr ? "" : std::string(folders, strcspn(folders, ":"));
}

ChargeStart openSavedCharge(const std::string &folder, SavedCharge *charge) {
    saved = Saved();
    saved.folder = folder;
    if (folder.empty()) {
        return ChargeStart::First;
    }
    const std::string path = pathIn(folder, FILE_NAME);
    std::string text;
    int error = 0;
    const char *why = nullptr;
    if (!readFile(path, &text, &error)) {
        why = error == ENOENT ? nullptr : strerror(error);
    } else if (parse(text, charge, &why)) {
        saved.written = text;
        why = nullptr;
    }
    if (why != nullptr) {  // set aside even when a new charge was asked for
        const std::string aside = setAside(folder);
        const std::string where =
            aside.empty() ? "could not be set aside" : "set aside as " + aside;
        fprintf(stderr, "charge state not trusted: %s: %s; %s; a new charge begins\n", path.c_str(),
                why, where.c_str());
        systemLog(LOG_ERR, "ZOR charge state not trusted: %s: %s; %s; a new charge begins",
                  path.c_str(), why, where.c_str());
    }
    if (markIn(folder)) {
        return ChargeStart::Asked;
    }
    return why != nullptr          ? ChargeStart::Untrusted
           : saved.written.empty() ? ChargeStart::First
                                   : ChargeStart::Resumed;
}

void saveCharge(const SavedCharge &charge) {
    if (saved.folder.empty()) {
        return;
    }
    const std::string text = textOf(charge);
    if (text == saved.written) {  // cleared when a write failed
        return;
    }
    int error = replaceWhole(saved.folder, FILE_NAME, text);
    if (error == 0) {
        saved.written = text;
        if (saved.failing) {
            saved.failing = false;
            fputs("charge state written again\n", stderr);
            systemLog(LOG_NOTICE, "ZOR charge state written again");
        }
        return;
    }
    // A later restart must never resume an older stage than this one: no
    // state at all starts a new charge instead.
    const std::string path = pathIn(saved.folder, FILE_NAME);
    unlink(path.c_str());
    saved.written.clear();
    if (!saved.failing) {
        saved.failing = true;
        fprintf(stderr, "charge state not written: %s: %s\n", path.c_str(), strerror(error));
        systemLog(LOG_ERR, "ZOR charge state not written: %s: %s", path.c_str(), strerror(error));
    }
}

bool keepingCharge() {
    return !saved.folder.empty();
}

void takeNewChargeMark() {
    if (!saved.folder.empty()) {
        unlink(pathIn(saved.folder, MARK_NAME).c_str());
    }
}

bool newChargeAsked() {
    return !saved.folder.empty() && markIn(saved.folder);
}

int requestNewCharge(const char *folderGiven) {
    std::string folder = folderGiven != nullptr ? folderGiven : stateFolder();
    if (folder.empty()) {
        folder = DEFAULT_FOLDER;
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
    std::string text;
    const char *why;
    if (readFile(pathIn(folder, FILE_NAME), &text, &error) && parse(text, &charge, &why)) {
        printf("the next start begins a new charge; the charge of %s is not resumed\n",
               charge.dataLog.c_str());
    } else {
        printf("the next start begins a new charge\n");
    }
    return 0;
}
