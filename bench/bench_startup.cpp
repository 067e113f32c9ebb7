// How soon the panel's window shows, and its memory then, beside the floor: a bare Qt window
// with a serial port open, with and without a line of text (the bare one loads no font at
// all), and with the design's controls as plain Qt widgets (what Qt takes for them). Each program
// is started in turn on a private X server (Xvfb, no TCP); the times run from the spawn to the
// window's map on the server and to its first paint. Prints the median and range of each, and the
// panel's ratios to the floors.
//
//   bench_startup [--rounds N] [--busy FILES] [--panel PATH]...
//
// --rounds defaults to 9; each --panel times another build of the panel beside this one (an
// older one, say), COM1 on the same pseudo-terminal. --busy has four helper processes hold that
// many open files in all while the programs start, as a desktop with a browser open does.
// Xvfb must be installed.

#include "benchsupport.h"

#include "support/ptypair.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <ranges>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace qv7::bench;

namespace {

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "bench_startup: %s\n", message.c_str());
    std::exit(1);
}

pid_t spawn(const std::vector<std::string> &command, const std::vector<std::string> &extraEnv)
{
    std::vector<std::string> envText(extraEnv);
    for (char **entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const bool replaced = std::ranges::any_of(extraEnv, [&](const std::string &set) {
            return text.starts_with(set.substr(0, set.find('=') + 1));
        });
        if (!replaced)
            envText.push_back(text);
    }
    std::vector<char *> argv, envp;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    for (const std::string &entry : envText)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        fail(command[0] + ": " + std::strerror(error));
    return pid;
}

void stop(pid_t pid)
{
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

// A private X server on the first free display, with a black root; it listens on no network
// port.
struct XServer {
    pid_t pid = 0;
    std::string display;

    XServer()
    {
        int fds[2];
        if (::pipe(fds) != 0)
            fail("pipe failed");
        pid = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-br",
                     "-screen", "0", "1280x1024x24"},
                    {});
        ::close(fds[1]);
        pollfd ready{fds[0], POLLIN, 0};
        char number[16] = {};
        if (::poll(&ready, 1, 10000) != 1 || ::read(fds[0], number, sizeof number - 1) <= 0)
            fail("Xvfb did not start; install it (apt install xvfb)");
        ::close(fds[0]);
        display = ":" + std::to_string(std::atoi(number));
    }
    ~XServer() { stop(pid); }
};

// Resident memory of a process, from /proc.
double rssMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::atof(line.c_str() + 6) / 1024;
    return 0;
}

// CPU time of all of a process's threads so far, in nanoseconds as the scheduler counts it.
double cpuMs(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double nanoseconds = 0;
    if (DIR *directory = ::opendir(tasks.c_str())) {
        while (const dirent *entry = ::readdir(directory)) {
            std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
            double onCpu = 0;
            if (entry->d_name[0] != '.' && schedstat >> onCpu)
                nanoseconds += onCpu;
        }
        ::closedir(directory);
    }
    return nanoseconds / 1e6;
}

template <typename Reply> std::unique_ptr<Reply, decltype(&std::free)> owned(Reply *reply)
{
    return {reply, std::free};
}

// The private server, watched for windows that are mapped and then painted.
class Display {
public:
    explicit Display(const std::string &name)
        : connection_(xcb_connect(name.c_str(), nullptr))
    {
        if (xcb_connection_has_error(connection_))
            fail("cannot connect to the X server " + name);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection_);
    }
    ~Display() { xcb_disconnect(connection_); }
    Display(const Display &) = delete;
    Display &operator=(const Display &) = delete;

    // The next top-level window to be mapped; none when none was within the time.
    xcb_window_t waitForMap(Steady::time_point deadline)
    {
        for (;;) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(connection_)) {
                const auto held = owned(event);
                const auto *map = reinterpret_cast<xcb_map_notify_event_t *>(event);
                if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY && !map->override_redirect)
                    return map->window;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
            if (left.count() <= 0 || xcb_connection_has_error(connection_))
                return XCB_NONE;
            pollfd ready{xcb_get_file_descriptor(connection_), POLLIN, 0};
            ::poll(&ready, 1, int(left.count()));
        }
    }

    // Waits until the window shows anything but the black it is mapped with (Qt gives its
    // windows no background of their own, so the black root shows until the first paint),
    // reading the row across its middle every 0.2 ms.
    bool waitForPaint(xcb_window_t window, Steady::time_point deadline)
    {
        const auto geometry = owned(
            xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
        if (!geometry)
            return false;
        while (Steady::now() < deadline) {
            const auto row = owned(xcb_get_image_reply(
                connection_,
                xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0,
                              int16_t(geometry->height / 2), geometry->width, 1, ~0u),
                nullptr));
            if (!row)
                return false;
            const uint8_t *pixels = xcb_get_image_data(row.get());
            if (std::any_of(pixels, pixels + xcb_get_image_data_length(row.get()),
                            [](uint8_t byte) { return byte != 0; }))
                return true;
            ::usleep(200);
        }
        return false;
    }

private:
    xcb_connection_t *connection_;
};

struct Sample {
    double mappedMs = 0, paintedMs = 0, cpuMs = 0, rssMiB = 0;
};

struct Program {
    const char *name;
    std::vector<std::string> command;
    // A floor is what the panels are set beside; a panel's ratios to the floors are printed.
    enum class Role { Floor, Panel, Other } role;
    std::vector<Sample> samples;
};

Sample measure(Display &display, const std::string &displayName, const Program &program)
{
    const auto started = Steady::now();
    const auto deadline = started + std::chrono::seconds(20);
    const pid_t pid = spawn(program.command, {"DISPLAY=" + displayName, "QT_QPA_PLATFORM=xcb"});
    const xcb_window_t window = display.waitForMap(deadline);
    Sample sample;
    sample.mappedMs = millisecondsBetween(started, Steady::now());
    sample.cpuMs = cpuMs(pid);
    if (window == XCB_NONE || !display.waitForPaint(window, deadline)) {
        stop(pid);
        fail(std::string(program.name) + ": no window painted within 20 s");
    }
    sample.paintedMs = millisecondsBetween(started, Steady::now());
    // Memory once the window sits idle.
    ::usleep(300000);
    sample.rssMiB = rssMiB(pid);
    stop(pid);
    return sample;
}

std::vector<double> column(const std::vector<Sample> &samples, double Sample::*field)
{
    std::vector<double> values;
    for (const Sample &sample : samples)
        values.push_back(sample.*field);
    return values;
}

double median(const Program &program, double Sample::*field)
{
    return summarize(column(program.samples, field)).median;
}

std::string range(const Program &program, double Sample::*field)
{
    const Summary summary = summarize(column(program.samples, field));
    char text[40];
    std::snprintf(text, sizeof text, "%5.1f (%.1f-%.1f)", summary.median, summary.min, summary.max);
    return text;
}

// Helper processes that hold open files until this one ends.
class BusyMachine {
public:
    explicit BusyMachine(int files)
    {
        for (int i = 0; i < 4 && files > 0; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0)
                hold(files / 4);
            if (pid < 0)
                fail("cannot start a helper process");
            helpers_.push_back(pid);
        }
        // Each helper has its files open once it has stopped itself.
        for (const pid_t pid : helpers_) {
            int status = 0;
            if (::waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status))
                fail("a helper could not hold its files; raise the hard limit (ulimit -Hn)");
            ::kill(pid, SIGCONT);
        }
    }
    ~BusyMachine()
    {
        for (const pid_t pid : helpers_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    BusyMachine(const BusyMachine &) = delete;
    BusyMachine &operator=(const BusyMachine &) = delete;

private:
    [[noreturn]] static void hold(int count)
    {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t(count) + 64);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        for (int i = 0; i < count; ++i)
            if (::open("/dev/null", O_RDONLY) < 0)
                ::_exit(1);
        ::raise(SIGSTOP);
        for (;;)
            ::pause();
    }

    std::vector<pid_t> helpers_;
};

} // namespace

int main(int argc, char *argv[])
{
    int rounds = 9;
    int busy = 0;
    std::vector<std::string> others;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--busy") == 0)
            busy = std::max(0, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--panel") == 0)
            others.emplace_back(argv[i + 1]);
    }

    const BusyMachine machine(busy);
    XServer server;
    Display display(server.display);
    qv7::test::PtyPair line;
    const std::string device = line.slavePath().toStdString();
    std::vector<Program> programs = {
        {"bare Qt window + serial port", {BARE_WINDOW, device}, Program::Role::Floor, {}},
        {"the same with a line of text", {BARE_WINDOW, device, "--text"}, Program::Role::Floor, {}},
        {"the design's controls, plain",
         {BARE_WINDOW, device, "--controls"},
         Program::Role::Floor,
         {}},
        {"panel, COM1 on a pty", {QV7RSC, "--com1", device}, Program::Role::Panel, {}},
        {"panel --simulate", {QV7RSC, "--simulate"}, Program::Role::Other, {}},
    };
    for (const std::string &other : others)
        programs.push_back({other.c_str(), {other, "--com1", device}, Program::Role::Panel, {}});
    // One round unmeasured, so that every program starts from a warm page cache; then the
    // programs take turns, so that a change in the machine's load falls on each alike.
    for (const Program &program : programs)
        measure(display, server.display, program);
    for (int round = 0; round < rounds; ++round)
        for (Program &program : programs)
            program.samples.push_back(measure(display, server.display, program));

    std::printf("start-up on Xvfb %s, %d rounds each, %d files held by other processes: median "
                "(min-max)\n",
                server.display.c_str(), rounds, busy);
    std::printf("%-30s %-19s %-19s %-10s %s\n", "program", "window mapped, ms", "painted, ms",
                "CPU, ms", "RSS idle, MiB");
    for (const Program &program : programs)
        std::printf("%-30s %-19s %-19s %7.1f    %5.1f\n", program.name,
                    range(program, &Sample::mappedMs).c_str(),
                    range(program, &Sample::paintedMs).c_str(), median(program, &Sample::cpuMs),
                    median(program, &Sample::rssMiB));
    std::printf("(CPU: of all threads, until the window was mapped)\n");
    const auto role = [](Program::Role wanted) {
        return std::views::filter(
            [wanted](const Program &program) { return program.role == wanted; });
    };
    for (const Program &panel : programs | role(Program::Role::Panel))
        for (const Program &floor : programs | role(Program::Role::Floor))
            std::printf("%s / %s: mapped %.2fx, painted %.2fx, RSS %.2fx\n", panel.name, floor.name,
                        median(panel, &Sample::mappedMs) / median(floor, &Sample::mappedMs),
                        median(panel, &Sample::paintedMs) / median(floor, &Sample::paintedMs),
                        median(panel, &Sample::rssMiB) / median(floor, &Sample::rssMiB));
    return 0;
}
