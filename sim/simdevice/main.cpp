// A stand-in for the battery device on a pseudo-terminal: the tool opens the slave side like a
// serial port, and this program answers its requests from the master side.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t SYNC[4] = {0xA8, 0xE2, 0x38, 0x20};
constexpr std::uint8_t DIR_FROM_TOOL = 0xA5;
constexpr std::uint8_t DIR_TO_TOOL = 0x5A;

// Answer payload sizes. The tool reads bytes 0-18 of a serial number answer; the device sends
// the field with one terminating NUL.
constexpr std::size_t SN_ANSWER_SIZE = 20;
constexpr std::size_t BATTERY_RECORD_SIZE = 28;
constexpr std::size_t SOC_OFFSET = 12;
constexpr std::size_t INFO_ANSWER_SIZE = 23;

const char USAGE[] =
    "Usage: simdevice [options]\n"
    "Simulates the battery device on a pseudo-terminal. Prints the path the tool opens as the\n"
    "first line of standard output, answers requests 3, 5, 7 and 9, and ends when standard\n"
    "input closes or on SIGTERM/SIGINT.\n"
    "\n"
    "  --state FILE       state file (key=value lines), re-read on every request;\n"
    "                     default: $SIMDEVICE_STATE, or none\n"
    "  --log FILE         append one line per received frame: ms since start, frame in hex\n"
    "  --sn TEXT          serial number (default QB-SIM-0000001)\n"
    "  --version N        firmware version, 0..65535 (default 10)\n"
    "  --soc N            state of charge in percent, 0..255 (default 80)\n"
    "  --battery HEX      the 28-byte battery record in hex; byte 12 is replaced by the charge\n"
    "  --fault MODE       none, silent, badsum, wrongdir, noise, split, double, short,\n"
    "                     unknown, other (see README.md)\n"
    "  --after N          answer a request only at its Nth transmission (default 1)\n"
    "  --count N          apply the fault to the first N answers only (default 0: all)\n"
    "  --pause MS         pause between the two parts of a split answer (default 200)\n"
    "  --split-at N       bytes in the first part of a split answer (default 4)\n"
    "  --unknown-id N     identifier of answers in fault mode unknown (default 99)\n"
    "  --link PATH        answer on PATH, a symbolic link to the pseudo-terminal made for it,\n"
    "                     printed and written as the port; it vanishes in boot mode absent\n"
    "  --mac TEXT         the chip's MAC as the esptool stand-in prints it (default: made by\n"
    "                     the stand-in from the serial number)\n"
    "  --boot MODE        how a newly written image starts at the next reset: none,\n"
    "                     rollback, other-sn, mute, late, absent (see README.md)\n"
    "  --boot-ms N        how long boot modes late and absent last (default 3000)\n"
    "  --boot-sn TEXT     serial number after boot mode other-sn (default QB-SIM-OTHER)\n"
    "  --ignore-stdin     keep running when standard input closes\n"
    "  --help             this text\n";

const char *const KEYS[] = {"sn",    "version", "soc",     "battery",  "fault",
                            "after", "count",   "pause",   "split-at", "unknown-id",
                            "mac",   "boot",    "boot-ms", "boot-sn"};

volatile std::sig_atomic_t g_stop = 0;
int g_wakePipe[2] = {-1, -1};

void OnSignal(int)
{
    g_stop = 1;
    const char byte = 0;
    // Wakes the poll loop; nothing to do if the pipe is full, one byte is enough.
    ssize_t ignored = write(g_wakePipe[1], &byte, 1);
    (void)ignored;
}

using State = std::map<std::string, std::string>;

State DefaultState()
{
    return {{"sn", "QB-SIM-0000001"}, {"version", "10"}, {"soc", "80"},
            {"battery", ""},          {"fault", "none"}, {"after", "1"},
            {"count", "0"},           {"pause", "200"},  {"split-at", "4"},
            {"unknown-id", "99"},     {"boot", "none"},  {"boot-sn", "QB-SIM-OTHER"},
            {"boot-ms", "3000"}};
}

bool ReadStateFile(const std::string &path, State &state)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            continue;
        state[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return true;
}

// Other processes read this file while we may write it: a reader must see the old or the new
// file, never a half-written one.
bool WriteStateFile(const std::string &path, const State &state)
{
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out)
            return false;
        for (const auto &entry : state)
            out << entry.first << '=' << entry.second << '\n';
        if (!out.flush())
            return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

// The esptool stand-in and the tests change the file too, each by reading, editing and renaming
// it. Whoever changes it holds this lock meanwhile, or a change made at the same moment by
// another process would be lost.
class StateLock
{
public:
    explicit StateLock(const std::string &statePath)
        : fd_(open((statePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (fd_ >= 0)
            flock(fd_, LOCK_EX);
    }
    ~StateLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;

private:
    int fd_;
};

template <typename Edit> bool EditStateFile(const std::string &path, Edit edit)
{
    const StateLock lock(path);
    State state;
    if (!ReadStateFile(path, state))
        return false;
    edit(state);
    return WriteStateFile(path, state);
}

// Only ever a link goes: never a file that someone else has put in its place.
bool RemoveLink(const std::string &link)
{
    struct stat info {
    };
    if (lstat(link.c_str(), &info) != 0)
        return true;
    return S_ISLNK(info.st_mode) && unlink(link.c_str()) == 0;
}

// Replaces a link left by a device that was killed.
bool MakeLink(const std::string &target, const std::string &link)
{
    return RemoveLink(link) && symlink(target.c_str(), link.c_str()) == 0;
}

long Number(const State &state, const char *key, long fallback)
{
    const auto it = state.find(key);
    if (it == state.end() || it->second.empty())
        return fallback;
    char *end = nullptr;
    const long value = std::strtol(it->second.c_str(), &end, 0);
    return (end && *end == '\0') ? value : fallback;
}

std::string Text(const State &state, const char *key)
{
    const auto it = state.find(key);
    return it == state.end() ? std::string() : it->second;
}

std::string Hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

Bytes FromHex(const std::string &text)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        char *end = nullptr;
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (!end || *end != '\0')
            return {};
        bytes.push_back(std::uint8_t(value));
    }
    return bytes;
}

Bytes Frame(std::uint8_t msgId, const Bytes &payload, std::uint8_t direction)
{
    Bytes frame(SYNC, SYNC + 4);
    frame.push_back(std::uint8_t(payload.size()));
    frame.push_back(msgId);
    frame.push_back(direction);
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::uint8_t sum = 0;
    for (std::size_t i = 4; i < frame.size(); ++i)
        sum = std::uint8_t(sum + frame[i]);
    frame.push_back(sum);
    return frame;
}

Bytes SerialNumberField(const State &state, std::size_t size)
{
    const std::string sn = Text(state, "sn");
    Bytes field(size, 0);
    std::copy_n(sn.begin(), std::min(sn.size(), size - 1), field.begin());
    return field;
}

Bytes AnswerPayload(std::uint8_t request, const State &state)
{
    const long version = Number(state, "version", 10);
    const std::uint8_t soc = std::uint8_t(Number(state, "soc", 80));
    switch (request) {
    case 3:
        return SerialNumberField(state, SN_ANSWER_SIZE);
    case 5: {
        Bytes record = FromHex(Text(state, "battery"));
        if (record.size() != BATTERY_RECORD_SIZE) {
            record.resize(BATTERY_RECORD_SIZE);
            for (std::size_t i = 0; i < record.size(); ++i)
                record[i] = std::uint8_t(0x11 * (i % 15) + 1);
        }
        record[SOC_OFFSET] = soc;
        return record;
    }
    case 7:
        return {std::uint8_t(version & 0xFF), std::uint8_t((version >> 8) & 0xFF)};
    case 9: {
        Bytes payload = SerialNumberField(state, INFO_ANSWER_SIZE);
        payload[19] = 0;
        payload[20] = soc;
        payload[21] = std::uint8_t(version & 0xFF);
        payload[22] = std::uint8_t((version >> 8) & 0xFF);
        return payload;
    }
    default:
        return {};
    }
}

bool WriteAll(int fd, const Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

// Receives the tool's frames: the same sync hunt as the tool's own parser, but for frames in
// the tool-to-device direction.
class RequestParser
{
public:
    // Returns true when a whole frame (checked or not) has been received.
    bool Feed(std::uint8_t byte)
    {
        switch (state_) {
        case 0:
        case 1:
        case 2:
        case 3:
            if (byte == SYNC[state_])
                ++state_;
            else
                state_ = byte == SYNC[0] ? 1 : 0;
            if (state_ == 4)
                frame_.assign(SYNC, SYNC + 4);
            return false;
        case 4:
            length_ = byte;
            frame_.push_back(byte);
            state_ = 5;
            return false;
        case 5:
        case 6:
            frame_.push_back(byte);
            ++state_;
            return false;
        default:
            frame_.push_back(byte);
            if (frame_.size() < std::size_t(length_) + 8)
                return false;
            state_ = 0;
            return true;
        }
    }
    const Bytes &frame() const { return frame_; }
    bool valid() const
    {
        std::uint8_t sum = 0;
        for (std::size_t i = 4; i + 1 < frame_.size(); ++i)
            sum = std::uint8_t(sum + frame_[i]);
        return frame_[6] == DIR_FROM_TOOL && sum == frame_.back();
    }

private:
    int state_ = 0;
    std::uint8_t length_ = 0;
    Bytes frame_;
};

struct Options {
    std::string stateFile;
    std::string logFile;
    std::string link;
    bool ignoreStdin = false;
    State state = DefaultState();
};

class Device
{
public:
    Device(int master, std::string pty, Options options)
        : master_(master), pty_(std::move(pty)), options_(std::move(options)), start_(Clock::now())
    {
    }

    void OnBytes(const std::uint8_t *data, std::size_t size)
    {
        for (std::size_t i = 0; i < size; ++i) {
            if (!parser_.Feed(data[i]))
                continue;
            Log(parser_.frame());
            if (parser_.valid())
                OnRequest(parser_.frame()[5]);
        }
    }

    // The state file is watched rather than read at the next request: the esptool stand-in
    // resets the chip by bumping resets=, and the port of boot mode absent has to vanish at
    // that moment, before anyone asks.
    int PollTimeoutMs() const { return options_.stateFile.empty() ? -1 : 20; }

    void Tick()
    {
        if (absent_ && Clock::now() >= quietUntil_) {
            absent_ = false;
            MakeLink(pty_, options_.link);
        }
        WatchResets();
    }

    // A device that is gone has no port: a stand-in that reads the file afterwards finds none.
    void Shutdown()
    {
        if (!options_.link.empty())
            RemoveLink(options_.link);
        if (!options_.stateFile.empty())
            EditStateFile(options_.stateFile, [](State &state) {
                state.erase("port");
                state.erase("pid");
            });
    }

private:
    using Clock = std::chrono::steady_clock;

    // Read whole each time: a few hundred bytes, and no file time or inode number tells
    // reliably of two renames within a clock tick.
    void WatchResets()
    {
        State state;
        if (options_.stateFile.empty() || !ReadStateFile(options_.stateFile, state))
            return;
        const long resets = Number(state, "resets", 0);
        if (resets != resets_)
            OnReset(resets);
    }

    // The chip restarts. An image written since the last start (image=) starts now, the way
    // boot= tells; without one the device simply answers again.
    void OnReset(long resets)
    {
        resets_ = resets;
        parser_ = RequestParser();
        pendingRequest_ = 0;
        transmissions_ = 0;
        muted_ = false;
        quietUntil_ = Clock::now();
        const bool restoreLink = absent_;
        absent_ = false;
        EditStateFile(options_.stateFile, [this, resets](State &state) {
            const auto image = state.find("image");
            const std::string mode = image == state.end() ? "none" : Text(state, "boot");
            if (image != state.end()) {
                if (mode != "rollback")
                    state["version"] = image->second;
                if (mode == "other-sn")
                    state["sn"] = Text(state, "boot-sn");
                state.erase(image);
            }
            muted_ = mode == "mute";
            if (mode == "late" || mode == "absent")
                quietUntil_ += std::chrono::milliseconds(Number(state, "boot-ms", 3000));
            absent_ = mode == "absent" && !options_.link.empty();
            // Gone before the stand-in reads booted= and ends: whoever opens the port after
            // the tool has ended finds it missing.
            if (absent_)
                RemoveLink(options_.link);
            state["booted"] = std::to_string(resets);
        });
        if (restoreLink && !absent_)
            MakeLink(pty_, options_.link);
    }

    void Log(const Bytes &frame)
    {
        if (options_.logFile.empty())
            return;
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
        std::FILE *log = std::fopen(options_.logFile.c_str(), "a");
        if (!log)
            return;
        std::fprintf(log, "%lld %s\n", static_cast<long long>(ms), Hex(frame).c_str());
        std::fclose(log);
    }

    void OnRequest(std::uint8_t request)
    {
        if (request != 3 && request != 5 && request != 7 && request != 9)
            return;
        WatchResets();
        if (muted_ || Clock::now() < quietUntil_)
            return;
        // Another process may have changed the device since the last request.
        if (!options_.stateFile.empty())
            ReadStateFile(options_.stateFile, options_.state);
        const State &state = options_.state;

        const std::string fault = Text(state, "fault");
        if (fault != lastFault_) {
            faultyAnswers_ = 0;
            lastFault_ = fault;
        }

        if (request != pendingRequest_) {
            pendingRequest_ = request;
            transmissions_ = 0;
        }
        ++transmissions_;
        if (transmissions_ < Number(state, "after", 1))
            return;
        transmissions_ = 0;
        pendingRequest_ = 0;

        const long count = Number(state, "count", 0);
        const bool faulty =
            fault != "none" && !fault.empty() && (count <= 0 || faultyAnswers_ < count);
        if (faulty)
            ++faultyAnswers_;
        SendAnswer(request, faulty ? fault : std::string(), state);
    }

    void SendAnswer(std::uint8_t request, const std::string &fault, const State &state)
    {
        // A confused device answers another request than the one asked.
        if (fault == "other")
            request = request == 7 ? 9 : 7;
        const std::uint8_t answerId = std::uint8_t(request + 1);
        Bytes payload = AnswerPayload(request, state);
        if (fault == "silent")
            return;
        if (fault == "short") {
            payload.resize(LayoutSize(answerId) - 1);
        }
        Bytes frame =
            Frame(fault == "unknown" ? std::uint8_t(Number(state, "unknown-id", 99)) : answerId,
                  payload, fault == "wrongdir" ? DIR_FROM_TOOL : DIR_TO_TOOL);
        if (fault == "badsum")
            frame.back() = std::uint8_t(frame.back() + 1);

        if (fault == "noise") {
            // Stray bytes with partial sync words, as a line that powered up mid-byte gives.
            Bytes noisy = {0x00, 0xFF, 0xA8, 0x13, 0xA8, 0xE2, 0x55, 0xA8, 0xE2, 0x38, 0x7E};
            noisy.insert(noisy.end(), frame.begin(), frame.end());
            WriteAll(master_, noisy);
        } else if (fault == "split") {
            const std::size_t at =
                std::min<std::size_t>(std::size_t(Number(state, "split-at", 4)), frame.size());
            WriteAll(master_, Bytes(frame.begin(), frame.begin() + long(at)));
            tcdrain(master_);
            std::this_thread::sleep_for(std::chrono::milliseconds(Number(state, "pause", 200)));
            WriteAll(master_, Bytes(frame.begin() + long(at), frame.end()));
        } else if (fault == "double") {
            // The asked answer, then an unasked version answer, in one write.
            const std::uint8_t other = request == 7 ? 9 : 7;
            Bytes both = frame;
            const Bytes second =
                Frame(std::uint8_t(other + 1), AnswerPayload(other, state), DIR_TO_TOOL);
            both.insert(both.end(), second.begin(), second.end());
            WriteAll(master_, both);
        } else {
            WriteAll(master_, frame);
        }
    }

    static std::size_t LayoutSize(std::uint8_t answerId)
    {
        switch (answerId) {
        case 4:
            return 19;
        case 6:
            return BATTERY_RECORD_SIZE;
        case 8:
            return 2;
        default:
            return INFO_ANSWER_SIZE;
        }
    }

    int master_;
    std::string pty_;
    Options options_;
    Clock::time_point start_;
    RequestParser parser_;
    long resets_ = 0;
    bool muted_ = false;
    bool absent_ = false;
    Clock::time_point quietUntil_ = Clock::now();
    std::uint8_t pendingRequest_ = 0;
    long transmissions_ = 0;
    std::string lastFault_;
    long faultyAnswers_ = 0;
};

bool ParseArguments(int argc, char **argv, Options &options, bool &help)
{
    if (const char *env = std::getenv("SIMDEVICE_STATE"))
        options.stateFile = env;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        }
        if (arg == "--ignore-stdin") {
            options.ignoreStdin = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::fprintf(stderr, "simdevice: bad argument %s\n", arg.c_str());
            return false;
        }
        const std::string key = arg.substr(2);
        const std::string value = argv[++i];
        if (key == "state") {
            options.stateFile = value;
        } else if (key == "log") {
            options.logFile = value;
        } else if (key == "link") {
            options.link = value;
        } else if (std::find(std::begin(KEYS), std::end(KEYS), key) != std::end(KEYS)) {
            options.state[key] = value;
        } else {
            std::fprintf(stderr, "simdevice: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    bool help = false;
    if (!ParseArguments(argc, argv, options, help)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (help) {
        std::fputs(USAGE, stdout);
        return 0;
    }

    int master = -1;
    int slave = -1;
    char slavePath[256] = {};
    if (openpty(&master, &slave, slavePath, nullptr, nullptr) != 0) {
        std::perror("simdevice: openpty");
        return 1;
    }
    // Raw both ways: no echo of the tool's bytes, no line editing of binary frames. The slave
    // stays open here for good, so the tool may close and reopen it without the master side
    // seeing a hang-up.
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    if (pipe(g_wakePipe) != 0) {
        std::perror("simdevice: pipe");
        return 1;
    }
    struct sigaction action {
    };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::string port = options.link.empty() ? slavePath : options.link;
    if (!options.link.empty() && !MakeLink(slavePath, options.link)) {
        std::fprintf(stderr, "simdevice: cannot make the link %s\n", options.link.c_str());
        return 1;
    }
    options.state["port"] = port;
    options.state["pty"] = slavePath;
    // Tells the esptool stand-in that a device runs behind the file and takes its images itself.
    options.state["pid"] = std::to_string(getpid());
    if (!options.stateFile.empty()) {
        const StateLock lock(options.stateFile);
        if (!WriteStateFile(options.stateFile, options.state)) {
            std::fprintf(stderr, "simdevice: cannot write %s\n", options.stateFile.c_str());
            return 1;
        }
    }
    std::printf("%s\n", port.c_str());
    std::fflush(stdout);

    Device device(master, slavePath, options);
    pollfd fds[3] = {{master, POLLIN, 0},
                     {g_wakePipe[0], POLLIN, 0},
                     {options.ignoreStdin ? -1 : STDIN_FILENO, POLLIN, 0}};
    int status = 0;
    while (!g_stop) {
        if (poll(fds, 3, device.PollTimeoutMs()) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("simdevice: poll");
            status = 1;
            break;
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            char sink[256];
            if (read(STDIN_FILENO, sink, sizeof sink) <= 0)
                break;
        }
        if (fds[0].revents & POLLIN) {
            std::uint8_t buffer[512];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                device.OnBytes(buffer, std::size_t(n));
        }
        device.Tick();
    }
    device.Shutdown();
    close(slave);
    close(master);
    return status;
}
