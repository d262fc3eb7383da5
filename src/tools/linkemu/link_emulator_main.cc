// quorvanta-link-emulator: an emulated network path between two network namespaces.
//
//   quorvanta-link-emulator --host-ns NAME --client-ns NAME --rate 5M [--delay 20ms] [--jitter 0]
//       [--loss 0.01] [--queue 100ms|150000B] [--burst 3000] [--schedule 10:5M,25:20M]
//       [--log FILE] [--ready FILE] [--seed N]
//
// Creates one TUN device named "qlink" in each namespace (`ip netns` names) and moves the IP
// packets between them through a LinkDirection each way: the same shape both ways (rate, one-way
// delay, jitter, loss, tail-drop queue). The namespaces' addresses and routes are the caller's
// business; it may configure them once the file given to --ready exists. Every second, one line
// goes to the log (standard output without --log):
//
//   t,rate_bps,down_bps,down_queue_ms_mean,down_queue_ms_max,down_backlog_ms,down_lost,down_dropped,up_bps
//
// where "down" is host to client and t counts from the start of the schedule. SIGUSR1 starts the
// schedule again (the log says "# restart T", T its CLOCK_MONOTONIC time in seconds); SIGINT and
// SIGTERM end the program.

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/linkemu/link_model.h"

namespace {

using quorvanta::linkemu::LinkDirection;
using quorvanta::linkemu::LinkShape;
using quorvanta::linkemu::Packet;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Creates the TUN device "qlink" inside the named namespace; the descriptor stays usable after
// the thread returns to its own namespace.
int openTunIn(const std::string& space) {
  FileDescriptor own(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
  FileDescriptor target(::open(("/run/netns/" + space).c_str(), O_RDONLY | O_CLOEXEC));
  if (own.get() < 0 || target.get() < 0) fail("cannot open the namespace " + space);
  if (::setns(target.get(), CLONE_NEWNET) != 0) fail("cannot enter the namespace " + space);
  const int tun = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, "qlink", IFNAMSIZ - 1);
  const bool created = tun >= 0 && ::ioctl(tun, TUNSETIFF, &request) == 0;
  const int saved = errno;
  if (::setns(own.get(), CLONE_NEWNET) != 0) fail("cannot return to the first namespace");
  errno = saved;
  if (!created) fail("cannot create a TUN device in " + space);
  return tun;
}

struct Options {
  std::string hostSpace;
  std::string clientSpace;
  LinkShape shape;
  std::string log;
  std::string ready;
  unsigned seed = 1;
};

Options parse(int argc, char** argv) {
  std::map<std::string, std::string> values;
  for (int index = 1; index + 1 < argc; index += 2)
    values[argv[index]] = argv[index + 1];
  if (argc % 2 == 0) throw std::invalid_argument("options come in pairs");
  const auto take = [&values](const std::string& name) -> std::optional<std::string> {
    const auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    std::string value = found->second;
    values.erase(found);
    return value;
  };
  const auto need = [](auto parsed, const std::string& name) {
    if (!parsed) throw std::invalid_argument("bad value for " + name);
    return *parsed;
  };
  Options options;
  options.hostSpace = need(take("--host-ns"), "--host-ns");
  options.clientSpace = need(take("--client-ns"), "--client-ns");
  options.shape.bitsPerSecond = need(quorvanta::linkemu::parseRate(need(take("--rate"), "--rate")), "--rate");
  if (auto value = take("--delay"))
    options.shape.delay = need(quorvanta::linkemu::parseDuration(*value), "--delay");
  if (auto value = take("--jitter"))
    options.shape.jitter = need(quorvanta::linkemu::parseDuration(*value), "--jitter");
  if (auto value = take("--loss")) options.shape.loss = std::stod(*value);
  if (auto value = take("--queue")) {
    if (value->ends_with("B")) {
      options.shape.queueBytes = std::stoll(*value);
    } else {
      options.shape.queueSeconds = need(quorvanta::linkemu::parseDuration(*value), "--queue");
    }
  }
  if (auto value = take("--burst")) options.shape.burstBytes = std::stoll(*value);
  if (auto value = take("--schedule"))
    options.shape.schedule = need(quorvanta::linkemu::parseSchedule(*value), "--schedule");
  if (auto value = take("--log")) options.log = *value;
  if (auto value = take("--ready")) options.ready = *value;
  if (auto value = take("--seed")) options.seed = static_cast<unsigned>(std::stoul(*value));
  if (!values.empty()) throw std::invalid_argument("unknown option " + values.begin()->first);
  return options;
}

void armTimer(int timer, double at) {
  itimerspec deadline{};
  const double whole = std::floor(at);
  deadline.it_value.tv_sec = static_cast<time_t>(whole);
  deadline.it_value.tv_nsec = std::max(1L, static_cast<long>((at - whole) * 1e9));
  timerfd_settime(timer, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

int run(const Options& options) {
  FileDescriptor hostTun(openTunIn(options.hostSpace));
  FileDescriptor clientTun(openTunIn(options.clientSpace));
  FileDescriptor timer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  sigset_t signals;
  sigemptyset(&signals);
  for (const int each : {SIGINT, SIGTERM, SIGUSR1})
    sigaddset(&signals, each);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  FileDescriptor signalFd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (timer.get() < 0 || signalFd.get() < 0) fail("cannot set up the event loop");

  std::mt19937_64 random(options.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto uniform = [&random, &unit] { return unit(random); };
  double start = monotonicSeconds();
  LinkDirection down(options.shape, uniform, start);
  LinkDirection up(options.shape, uniform, start);

  std::ofstream file;
  if (!options.log.empty()) file.open(options.log);
  std::ostream& log = options.log.empty() ? std::cout : file;
  log << "t,rate_bps,down_bps,down_queue_ms_mean,down_queue_ms_max,down_backlog_ms,down_lost,down_dropped,up_"
         "bps"
      << std::endl;
  if (!options.ready.empty()) std::ofstream(options.ready) << "ready\n";

  double nextLog = start + 1;
  std::array<std::uint8_t, 65536> buffer{};
  const auto drain = [&buffer](int from, LinkDirection& direction, double now) {
    for (;;) {
      const ssize_t got = ::read(from, buffer.data(), buffer.size());
      if (got <= 0) return;
      direction.offer(Packet(buffer.begin(), buffer.begin() + got), now);
    }
  };
  const auto deliver = [](LinkDirection& direction, int to, double now) {
    for (const Packet& packet : direction.take(now))
      (void)::write(to, packet.data(), packet.size());  // a full device drops it, like a wire
  };
  for (;;) {
    double wake = nextLog;
    for (const LinkDirection* direction : {&down, &up})
      if (const auto at = direction->nextEvent()) wake = std::min(wake, *at);
    armTimer(timer.get(), wake);
    std::array<pollfd, 4> polled{{{hostTun.get(), POLLIN, 0},
                                  {clientTun.get(), POLLIN, 0},
                                  {timer.get(), POLLIN, 0},
                                  {signalFd.get(), POLLIN, 0}}};
    if (::poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR) fail("poll");
    const double now = monotonicSeconds();
    if ((polled[3].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      while (::read(signalFd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGUSR1) return 0;
        down.restartSchedule(now);
        up.restartSchedule(now);
        down.takeCounters();
        up.takeCounters();
        start = now;
        nextLog = now + 1;
        char mark[64];
        std::snprintf(mark, sizeof mark, "# restart %.6f", now);
        log << mark << std::endl;
      }
    }
    if ((polled[2].revents & POLLIN) != 0) {
      std::uint64_t expirations = 0;
      (void)::read(timer.get(), &expirations, sizeof expirations);
    }
    drain(hostTun.get(), down, now);
    drain(clientTun.get(), up, now);
    deliver(down, clientTun.get(), now);
    deliver(up, hostTun.get(), now);
    if (now >= nextLog) {
      const auto d = down.takeCounters();
      const auto u = up.takeCounters();
      char line[256];
      std::snprintf(line, sizeof line, "%.0f,%.0f,%lld,%.1f,%.1f,%.1f,%lld,%lld,%lld", nextLog - start,
                    down.rateAt(now), static_cast<long long>(d.bytesOut * 8),
                    d.packetsOut > 0 ? d.queueDelaySum / static_cast<double>(d.packetsOut) * 1e3 : 0.0,
                    d.queueDelayMax * 1e3, down.backlogSeconds(now) * 1e3, static_cast<long long>(d.lost),
                    static_cast<long long>(d.dropped), static_cast<long long>(u.bytesOut * 8));
      log << line << std::endl;
      nextLog += 1;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse(argc, argv));
  } catch (const std::exception& error) {
    std::cerr << "quorvanta-link-emulator: " << error.what() << std::endl;
    return 1;
  }
}
