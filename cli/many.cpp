#include "cli/many.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/progress.h"
#include "link/driver.h"
#include "platform/platform.h"
#include "text/texts.h"

namespace {
// The station looks for devices at most this often.
constexpr uint32_t listPollMs = 500;
constexpr std::chrono::milliseconds stationPause{20};
// A bar beside the device's name still fits a line of 80 columns.
constexpr int32_t boardBarWidth = 20;
// The exit code of a child that could not be started, as shells give it.
constexpr int notStarted = 127;

// A device to upload to: how the child is told to take it, and how the user tells it apart.
struct Target {
    std::string name; // the D2XX index, or the port
    std::string serialNumber;
    std::vector<std::string> selection; // --device N or --port PATH
};

// One child's upload as this process follows it.
struct DeviceUpload {
    Target target;
    ChildProcess child;
    std::string unread;  // the child's output after its last full line
    std::string message; // the child's last line other than a progress report
    int32_t offset = 0;
    uint32_t repeats = 0;
    bool ended = false;
    int exitCode = 0;
    uint32_t startedMs = 0;
    uint32_t endedMs = 0;
};

std::vector<Target> AttachedDevices(const FlashOptions& options) {
    std::vector<Target> targets;
    if (!options.port.empty()) {
        for (const SerialPortEntry& port : ListSerialPorts()) {
            if (port.usbVendor == ftdiVendor)
                targets.push_back({port.path, port.serialNumber, {"--port", port.path}});
        }
        return targets;
    }
    uint32_t count = EnumerateDevices();
    for (uint32_t index = 0; index < count; ++index) {
        std::string number = std::to_string(index);
        targets.push_back(
            {number, LibraryTextAsUtf8(DeviceSerialNumber(index)), {"--device", number}});
    }
    return targets;
}

// The device's name and serial number, or its name alone.
std::string Label(const Target& target) {
    return target.serialNumber.empty() ? target.name : target.name + "  " + target.serialNumber;
}

std::string Seconds(const DeviceUpload& upload) {
    char text[24];
    std::snprintf(text, sizeof text, "%.1f", (upload.endedMs - upload.startedMs) / 1000.0);
    return text;
}

// The child reports its progress as lines when this process draws it, and says nothing more
// than its end otherwise; in this process's language.
std::vector<std::string> ChildArguments(const Target& target, const FlashOptions& options,
                                        bool progressLines) {
    std::vector<std::string> arguments = target.selection;
    arguments.push_back("--lang");
    arguments.push_back(texts::language == texts::Language::russian ? "ru" : "en");
    if (options.noGoto)
        arguments.push_back("--no-goto");
    arguments.push_back(progressLines ? "--progress-lines" : "--quiet");
    arguments.push_back("--");
    arguments.push_back(options.hexPath);
    return arguments;
}

void Start(DeviceUpload& upload, const FlashOptions& options, bool progressLines) {
    upload.startedMs = MonotonicMilliseconds();
    if (StartChildProcess(ThisProgramPath(), ChildArguments(upload.target, options, progressLines),
                          upload.child))
        return;
    upload.ended = true;
    upload.endedMs = upload.startedMs;
    upload.exitCode = notStarted;
    upload.message = texts::Localized(texts::childNotStarted);
}

// Takes the child's full lines: its progress reports, and its messages, the last of which
// says how the upload ended.
void TakeOutput(DeviceUpload& upload) {
    ReadChildOutput(upload.child, upload.unread);
    for (size_t end; (end = upload.unread.find('\n')) != std::string::npos;) {
        std::string line = upload.unread.substr(0, end);
        upload.unread.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && !ReadProgressReport(line, upload.offset, upload.repeats))
            upload.message = line;
    }
}

// True when the child has ended since the last call.
bool NoteEnd(DeviceUpload& upload) {
    if (upload.ended || !ChildEnded(upload.child, upload.exitCode))
        return false;
    upload.endedMs = MonotonicMilliseconds();
    TakeOutput(upload);
    CloseChildOutput(upload.child);
    upload.ended = true;
    return true;
}

bool AllEnded(const std::vector<DeviceUpload>& uploads) {
    return std::all_of(uploads.begin(), uploads.end(),
                       [](const DeviceUpload& upload) { return upload.ended; });
}

std::string EndLine(const DeviceUpload& upload) {
    return texts::Filled(texts::deviceEnded,
                         {Label(upload.target), upload.message, Seconds(upload)});
}

std::string PaddedTo(const std::string& text, size_t columns) {
    size_t used = TextColumns(text);
    return text + std::string(columns > used ? columns - used : 0, ' ');
}

// A line per device: its bar while it runs, its message once it has ended.
std::vector<std::string> BoardLines(const std::vector<DeviceUpload>& uploads) {
    size_t width = 0;
    for (const DeviceUpload& upload : uploads)
        width = std::max(width, TextColumns(Label(upload.target)));
    std::vector<std::string> lines;
    for (const DeviceUpload& upload : uploads) {
        std::string state = upload.ended
                                ? upload.message
                                : ProgressLine(upload.offset, upload.repeats, boardBarWidth);
        lines.push_back(PaddedTo(Label(upload.target), width) + "  " + state);
    }
    return lines;
}

// Redraws the board in place when it changed: up to its first line, each line over the old.
void DrawBoard(const std::vector<DeviceUpload>& uploads, std::vector<std::string>& drawn) {
    std::vector<std::string> lines = BoardLines(uploads);
    if (lines == drawn)
        return;
    std::string text = drawn.empty() ? "" : "\x1b[" + std::to_string(drawn.size()) + "A";
    for (const std::string& line : lines)
        text += "\r" + line + "\x1b[K\n";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    drawn = lines;
}

void EraseBoard(const std::vector<std::string>& drawn) {
    for (size_t line = 0; line < drawn.size(); ++line)
        std::fputs("\x1b[1A\r\x1b[K", stderr);
}

// How the uploads are shown while they run: a board of bars redrawn in place, a line for each
// as it ends, or nothing.
enum class Display { board, endLines, none };

// Follows the children to their ends. An interruption is passed on to each child once: it ends
// its upload cleanly.
void FollowUploads(std::vector<DeviceUpload>& uploads, Display display,
                   std::vector<std::string>& drawn) {
    bool passedOn = false;
    while (!AllEnded(uploads)) {
        std::this_thread::sleep_for(tickPeriod);
        // Read once: an interruption that comes during the round waits for the next one.
        bool passOn = !passedOn && InterruptionRequested();
        for (DeviceUpload& upload : uploads) {
            if (passOn && !upload.ended)
                InterruptChild(upload.child);
            TakeOutput(upload);
            if (NoteEnd(upload) && display == Display::endLines)
                Say(EndLine(upload));
        }
        passedOn = passedOn || passOn;
        if (display == Display::board)
            DrawBoard(uploads, drawn);
    }
}

void PrintTable(const std::vector<DeviceUpload>& uploads) {
    std::vector<std::vector<std::string>> rows{
        {texts::Localized(texts::tableDevice), texts::Localized(texts::tableSerialNumber),
         texts::Localized(texts::tableResult), texts::Localized(texts::tableSeconds),
         texts::Localized(texts::tableExitCode)}};
    for (const DeviceUpload& upload : uploads)
        rows.push_back({upload.target.name, upload.target.serialNumber, upload.message,
                        Seconds(upload), std::to_string(upload.exitCode)});
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], TextColumns(row[column]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t column = 0; column + 1 < row.size(); ++column)
            line += PaddedTo(row[column], widths[column]) + "  ";
        std::printf("%s%s\n", line.c_str(), row.back().c_str());
    }
    std::fflush(stdout);
}

// What --all and --wait do before they look for devices: the file read and checked, the D2XX
// library bound unless the serial ports are taken. The exit code of what failed, said.
int Prepare(const FlashOptions& options) {
    CatchInterruptions();
    if (int code = ReadImage(options); code != exitUploaded)
        return code;
    return options.port.empty() && !BindDriver() ? exitNoDriver : exitUploaded;
}

bool Board(const FlashOptions& options) {
    return !options.quiet && StandardErrorTakesCursorMoves();
}
} // namespace

int UploadToAll(const FlashOptions& options) {
    if (int code = Prepare(options); code != exitUploaded)
        return code;
    std::vector<Target> targets = AttachedDevices(options);
    if (targets.empty()) {
        Say(texts::noDeviceAttached);
        return exitNoDevice;
    }
    bool board = Board(options);
    std::vector<DeviceUpload> uploads(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        uploads[i].target = targets[i];
        Start(uploads[i], options, board);
    }
    std::vector<std::string> drawn;
    FollowUploads(uploads, board ? Display::board : Display::endLines, drawn);
    PrintTable(uploads);
    if (InterruptionRequested())
        return exitInterrupted;
    bool allDone = std::all_of(uploads.begin(), uploads.end(),
                               [](const DeviceUpload& upload) { return upload.exitCode == 0; });
    return allDone ? exitUploaded : exitNoResponse;
}

namespace {
struct Totals {
    uint32_t done = 0;
    uint32_t failed = 0;
};

std::string TotalsText(const Totals& totals) {
    return texts::Filled(texts::runningTotals,
                         {std::to_string(totals.done), std::to_string(totals.failed)});
}

// What tells a device apart while it stays attached: its serial number, else its name.
std::string Key(const Target& target) {
    return target.serialNumber.empty() ? "#" + target.name : target.serialNumber;
}

// Forgets the devices flashed that have been removed since, and picks the first attached one
// not flashed yet; false when there is none.
bool NextDevice(const FlashOptions& options, std::set<std::string>& flashed, Target& next) {
    std::vector<Target> attached = AttachedDevices(options);
    std::set<std::string> present;
    for (const Target& target : attached)
        present.insert(Key(target));
    std::erase_if(flashed, [&](const std::string& key) { return !present.count(key); });
    for (const Target& target : attached) {
        if (!flashed.count(Key(target))) {
            next = target;
            return true;
        }
    }
    return false;
}

// One upload with the station's line after it; its exit code.
int UploadAtStation(const Target& target, const FlashOptions& options, Totals& totals) {
    bool board = Board(options);
    std::vector<DeviceUpload> uploads(1);
    uploads[0].target = target;
    uploads[0].target.name = target.serialNumber.empty() ? target.name : target.serialNumber;
    uploads[0].target.serialNumber.clear();
    Start(uploads[0], options, board);
    std::vector<std::string> drawn;
    FollowUploads(uploads, board ? Display::board : Display::none, drawn);
    EraseBoard(drawn);
    int code = uploads[0].exitCode;
    if (code == exitUploaded)
        ++totals.done;
    else if (code != exitInterrupted)
        ++totals.failed;
    Say(EndLine(uploads[0]) + "; " + TotalsText(totals));
    return code;
}
} // namespace

// The list is read at most every listPollMs, however short the pauses come out (under Wine a
// short sleep may return at once).
int RunStation(const FlashOptions& options) {
    if (int code = Prepare(options); code != exitUploaded)
        return code;
    Say(texts::waitingForDevices);
    Totals totals;
    std::set<std::string> flashed; // attached devices uploaded to since they were attached
    uint32_t listedMs = MonotonicMilliseconds() - listPollMs;
    int lastCode = exitUploaded;
    while (!InterruptionRequested()) {
        if (MonotonicMilliseconds() - listedMs < listPollMs) {
            std::this_thread::sleep_for(stationPause);
            continue;
        }
        listedMs = MonotonicMilliseconds();
        Target next;
        if (!NextDevice(options, flashed, next))
            continue;
        flashed.insert(Key(next));
        lastCode = UploadAtStation(next, options, totals);
    }
    Say(texts::Filled(texts::totalsLine, {TotalsText(totals)}));
    if (lastCode == exitInterrupted)
        return exitInterrupted;
    return totals.failed == 0 ? exitUploaded : exitNoResponse;
}
