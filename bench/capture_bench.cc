// Capture benchmark: the host's X11 capture and H.264 encoding at 1920 × 1080, 30 fps, against
// FFmpeg's own x11grab + libx264 on the same display. Not a test: it starts its own Xvfb, draws
// moving content into it from a child process, and prints a Markdown table.
//
//   capture_bench [--frames N] [--no-ffmpeg]
//   capture_bench --still SECONDS
//
// Phases, each over N frames (300 by default) paced at 30 fps:
//   stages            X11 pieces of the stream driven by hand (one SHM read of the root, XFixes
//                     cursor, FrameConverter to NV12) and H264Encoder over the libavcodec backend,
//                     each step timed on its own
//   stages+exclusion  the same with one window left out, so that every frame is composed on the
//                     server first (WindowComposer)
//   service           X11CaptureService streams as the host runs them (timer on a capture queue),
//                     each frame encoded by H264Encoder on that queue; CPU time of this process
//   service+exclusion the same with one window left out through updateContentFilter
//   ffmpeg            `ffmpeg -f x11grab ... -c:v libx264 -preset veryfast -tune zerolatency ...`;
//                     its CPU time from wait4()
// The X server's own CPU time (/proc/<Xvfb>/stat) is given for every phase: composing and SHM
// reads are work the server does for the capturing client.
//
// --still: no animation; a still screen captured by the service at 1920 × 1080, 30 fps for
// SECONDS, every delivered frame encoded: the frames and the CPU (this process, the X server) as a
// share of one core.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/video/h264_encoder.h"
#include "platform/linux/media/libavcodec_encoder_backend.h"
#include "platform/linux/x11/frame_converter.h"
#include "platform/linux/x11/window_composer.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "platform/linux/x11/xcb_handles.h"

extern char** environ;

namespace {

using namespace quorvanta;
using namespace quorvanta::x11;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr std::int64_t kBitrate = 6'000'000;

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// utime + stime of another process, in seconds.
double cpuSecondsOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  // Fields after the name start at 3 (state); utime is 14, stime 15.
  for (int index = 3; index <= 15 && (fields >> field); ++index) {
    if (index == 14) utime = std::stod(field);
    if (index == 15) stime = std::stod(field);
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Series {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double quantile(double q) const {
    if (values.empty()) return std::nan("");
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const auto index = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size()))) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
  }
  double median() const { return quantile(0.5); }
  double p99() const { return quantile(0.99); }
};

// ---- Xvfb and moving content --------------------------------------------------------------------

class Xvfb {
 public:
  Xvfb() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (fds[1] == 3) {
      // dup2 onto itself would keep close-on-exec set; move it out of the way first.
      fds[1] = fcntl(3, F_DUPFD_CLOEXEC, 10);
      close(3);
    }
    // The child gets the write end as descriptor 3, where -displayfd writes the display number.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
    std::vector<std::string> arguments{"Xvfb",      "-displayfd", "3",       "-screen",    "0",
                                       size,        "+extension", "RANDR",   "+extension", "Composite",
                                       "-nolisten", "tcp",        "-noreset"};
    std::vector<char*> argv;
    for (auto& a : arguments)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) throw std::runtime_error("Xvfb cannot be started; is it installed?");
    std::string number;
    while (number.empty() || number.back() != '\n') {
      pollfd fd{fds[0], POLLIN, 0};
      if (poll(&fd, 1, 15000) <= 0) break;
      char buffer[16];
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
      number.pop_back();
    if (number.empty()) throw std::runtime_error("Xvfb did not report its display.");
    display_ = ":" + number;
  }
  ~Xvfb() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Runs in a child process: a full-screen window with a moving gradient picture and moving
// coloured blocks, redrawn 60 times a second, until killed.
[[noreturn]] void animate(const std::string& display) {
  Connection connection = Connection::connect(display);
  xcb_connection_t* c = connection.get();
  const xcb_window_t window = xcb_generate_id(c);
  const std::uint32_t values[] = {0x202020, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, connection.root(), 0, 0, kWidth, kHeight, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, connection.screen()->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, window);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  std::uint32_t colour = 0;
  xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &colour);

  // A 640 × 360 picture: smooth gradients with a fine checker, as photos and text would give.
  constexpr int tileWidth = 640, tileHeight = 360;
  std::vector<std::uint32_t> tile(static_cast<std::size_t>(tileWidth * tileHeight));
  for (int y = 0; y < tileHeight; ++y) {
    for (int x = 0; x < tileWidth; ++x) {
      const std::uint32_t r = static_cast<std::uint32_t>(x * 255 / tileWidth);
      const std::uint32_t g = static_cast<std::uint32_t>(y * 255 / tileHeight);
      const std::uint32_t b = ((x / 4 + y / 4) % 2) != 0 ? 200u : 60u;
      tile[static_cast<std::size_t>(y * tileWidth + x)] = (r << 16) | (g << 8) | b;
    }
  }
  struct Block {
    double x, y, dx, dy;
    int w, h;
    std::uint32_t rgb;
  };
  std::vector<Block> blocks = {{100, 100, 7, 4, 300, 200, 0xE04040},   {800, 300, -5, 6, 250, 250, 0x40E040},
                               {1200, 600, 6, -5, 400, 150, 0x4040E0}, {300, 700, -8, -3, 200, 300, 0xE0E040},
                               {1500, 100, -4, 7, 180, 180, 0x40E0E0}, {900, 800, 9, -6, 320, 120, 0xE040E0}};
  double tileX = 0, tileY = 200;
  const xcb_rectangle_t all{0, 0, kWidth, kHeight};
  for (auto next = Clock::now();; next += std::chrono::microseconds(16667)) {
    colour = 0x202020;
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
    xcb_poly_fill_rectangle(c, window, gc, 1, &all);
    tileX = std::fmod(tileX + 6, kWidth - tileWidth);
    tileY = 200 + 150 * std::sin(tileX / 200);
    for (int row = 0; row < tileHeight; row += 60) {
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, tileWidth, 60, static_cast<std::int16_t>(tileX),
                    static_cast<std::int16_t>(tileY + row), 0, 24, tileWidth * 60 * 4,
                    reinterpret_cast<const std::uint8_t*>(&tile[static_cast<std::size_t>(row * tileWidth)]));
    }
    for (Block& b : blocks) {
      b.x += b.dx;
      b.y += b.dy;
      if (b.x < 0 || b.x + b.w > kWidth) b.dx = -b.dx;
      if (b.y < 0 || b.y + b.h > kHeight) b.dy = -b.dy;
      colour = b.rgb;
      xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
      const xcb_rectangle_t r{static_cast<std::int16_t>(b.x), static_cast<std::int16_t>(b.y),
                              static_cast<std::uint16_t>(b.w), static_cast<std::uint16_t>(b.h)};
      xcb_poly_fill_rectangle(c, window, gc, 1, &r);
    }
    Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!sync) _exit(1);
    std::this_thread::sleep_until(next);
  }
}

// ---- Encoding -----------------------------------------------------------------------------------

// H264Encoder over the libavcodec backend, with a wait for each frame's output.
class Encoding {
 public:
  Encoding() : encoder_(std::make_shared<LibavcodecEncoderBackend>()) {
    encoder_.setFps(kFps);
    encoder_.setBitrate(kBitrate);
  }

  // Starts encoding `buffer`; done() tells when its output has arrived.
  void submit(PixelBufferRef buffer, double time) {
    {
      std::lock_guard guard(lock_);
      busy_ = true;
    }
    encoder_.encode(std::move(buffer), time, [this](std::optional<EncodedFrame> frame) {
      std::lock_guard guard(lock_);
      if (frame) {
        bytes_ += frame->data.size();
        if (frame->parameterSets)
          bytes_ += frame->parameterSets->sps.size() + frame->parameterSets->pps.size();
        ++frames_;
      } else {
        ++dropped_;
      }
      busy_ = false;
      done_.notify_all();
    });
  }
  void wait() {
    std::unique_lock guard(lock_);
    done_.wait(guard, [&] { return !busy_; });
  }
  bool busy() {
    std::lock_guard guard(lock_);
    return busy_;
  }
  std::int64_t frames() {
    std::lock_guard guard(lock_);
    return frames_;
  }
  std::uint64_t bytes() {
    std::lock_guard guard(lock_);
    return bytes_;
  }
  std::string description() const { return encoder_.sessionDescription(); }

 private:
  H264Encoder encoder_;
  std::mutex lock_;
  std::condition_variable done_;
  bool busy_ = false;
  std::int64_t frames_ = 0;
  std::int64_t dropped_ = 0;
  std::uint64_t bytes_ = 0;
};

struct Result {
  std::string name;
  int frames = 0;
  Series grab, compose, convert, encode, total;  // milliseconds
  double cpuPerFrame = std::nan("");             // ms, this process (or FFmpeg)
  double serverCpuPerFrame = std::nan("");       // ms, Xvfb
  double bytesPerFrame = std::nan("");
  double wallSeconds = 0;
};

// ---- Stages by hand ---------------------------------------------------------------------------

Result runStages(const std::string& display, pid_t server, int frames, std::optional<xcb_window_t> excluded) {
  Result result;
  result.name = excluded ? "stages + exclusion" : "stages";
  Connection connection = Connection::connect(display);
  xcb_connection_t* c = connection.get();
  Reply<xcb_xfixes_query_version_reply_t> xfixes(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  ShmSegment shm(c, static_cast<std::size_t>(kWidth) * kHeight * 4);
  std::optional<WindowComposer> composer;
  if (excluded) {
    composer.emplace(c, connection.screenNumber(), connection.root(), connection.screen()->root_visual,
                     connection.screen()->root_depth, 0, 0, kWidth, kHeight);
    composer->setExcluded({*excluded});
  }
  FrameConverter converter;
  Encoding encoding;

  // A few frames first, so that opening the encoder is not counted.
  constexpr int warmUp = 10;
  double cpu0 = 0, server0 = 0;
  auto start = Clock::now();
  auto next = start;
  for (int i = -warmUp; i < frames; ++i) {
    if (i == 0) {
      cpu0 = processCpuSeconds();
      server0 = cpuSecondsOf(server);
      start = Clock::now();
    }
    std::this_thread::sleep_until(next);
    next += std::chrono::microseconds(1'000'000 / kFps);
    const auto t0 = Clock::now();
    const xcb_drawable_t source = composer ? composer->compose() : connection.root();
    const auto tc = Clock::now();
    Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
        c, xcb_shm_get_image(c, source, 0, 0, kWidth, kHeight, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm.id(), 0),
        nullptr));
    if (!image) throw std::runtime_error("the screen could not be read");
    BgrxImage frame{shm.data(), kWidth, kHeight, kWidth * 4};
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (cursor) {
      drawCursor(frame, xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width, cursor->height,
                 cursor->x - cursor->xhot, cursor->y - cursor->yhot);
    }
    const auto t1 = Clock::now();
    PixelBufferRef buffer = converter.convert(frame, kWidth, kHeight);
    const auto t2 = Clock::now();
    encoding.submit(std::move(buffer), static_cast<double>(i + warmUp) / kFps);
    encoding.wait();
    const auto t3 = Clock::now();
    if (i < 0) continue;
    result.grab.add(seconds(t1 - t0) * 1e3);
    if (composer) result.compose.add(seconds(tc - t0) * 1e3);
    result.convert.add(seconds(t2 - t1) * 1e3);
    result.encode.add(seconds(t3 - t2) * 1e3);
    result.total.add(seconds(t3 - t0) * 1e3);
  }
  result.wallSeconds = seconds(Clock::now() - start);
  result.frames = frames;
  result.cpuPerFrame = (processCpuSeconds() - cpu0) * 1e3 / frames;
  result.serverCpuPerFrame = (cpuSecondsOf(server) - server0) * 1e3 / frames;
  result.bytesPerFrame = static_cast<double>(encoding.bytes()) / static_cast<double>(encoding.frames());
  std::cerr << "encoder: " << encoding.description() << "\n";
  return result;
}

// ---- The capture service as the host runs it ----------------------------------------------------

class EncodingOutput final : public CaptureStreamOutput {
 public:
  explicit EncodingOutput(int frames) : wanted_(frames) {}
  void didOutputSample(const CaptureStream&, const CaptureSample& sample, SampleType) override {
    // Like the video pipeline: one frame in the encoder at a time; a frame that finds it busy is
    // skipped.
    if (finished_ || !sample.image) return;
    if (encoding.busy()) {
      ++skipped_;
      return;
    }
    if (encoding.frames() >= wanted_) {
      finished_ = true;
      std::lock_guard guard(lock_);
      done_.notify_all();
      return;
    }
    encoding.submit(sample.image, sample.presentationTime);
  }
  void didStopWithError(const CaptureStream&, const std::string& message) override {
    std::cerr << "capture stopped: " << message << "\n";
    std::lock_guard guard(lock_);
    error_ = true;
    done_.notify_all();
  }
  bool waitUntilDone(std::chrono::seconds limit) {
    std::unique_lock guard(lock_);
    return done_.wait_for(guard, limit, [&] { return finished_.load() || error_; });
  }
  int skipped() const { return skipped_; }

  Encoding encoding;

 private:
  const int wanted_;
  std::atomic<bool> finished_{false};
  std::mutex lock_;
  std::condition_variable done_;
  bool error_ = false;
  int skipped_ = 0;
};

Result runService(const std::string& display, pid_t server, int frames,
                  std::optional<xcb_window_t> excluded) {
  Result result;
  result.name = excluded ? "service + exclusion" : "service";
  X11CaptureService service(display);
  asio::thread_pool queue(1);  // the capture queue: serial
  asio::thread_pool control(1);
  auto content = asio::co_spawn(control, service.shareableContent(), asio::use_future).get();
  if (content.displays.empty()) throw std::runtime_error("no display");
  StreamConfiguration configuration;
  configuration.width = kWidth;
  configuration.height = kHeight;
  configuration.fps = kFps;
  auto output = std::make_shared<EncodingOutput>(frames);
  auto stream = service.makeStream(ContentFilter{content.displays[0].id, {}}, configuration, output,
                                   queue.get_executor());
  const double cpu0 = processCpuSeconds();
  const double server0 = cpuSecondsOf(server);
  const auto start = Clock::now();
  asio::co_spawn(control, stream->startCapture(), asio::use_future).get();
  if (excluded) {
    asio::co_spawn(control, stream->updateContentFilter(ContentFilter{content.displays[0].id, {*excluded}}),
                   asio::use_future)
        .get();
  }
  const bool done = output->waitUntilDone(std::chrono::seconds(frames / kFps * 4 + 30));
  result.wallSeconds = seconds(Clock::now() - start);
  const double cpu = processCpuSeconds() - cpu0;
  const double serverCpu = cpuSecondsOf(server) - server0;
  asio::co_spawn(control, stream->stopCapture(), asio::use_future).get();
  output->encoding.wait();
  if (!done) throw std::runtime_error("the capture did not deliver its frames in time");
  const auto encoded = output->encoding.frames();
  result.frames = static_cast<int>(encoded);
  result.cpuPerFrame = cpu * 1e3 / static_cast<double>(encoded);
  result.serverCpuPerFrame = serverCpu * 1e3 / static_cast<double>(encoded);
  result.bytesPerFrame = static_cast<double>(output->encoding.bytes()) / static_cast<double>(encoded);
  if (output->skipped() > 0)
    std::cerr << result.name << ": " << output->skipped() << " frames skipped (encoder busy)\n";
  return result;
}

// A still screen: what the service delivers, and what that costs, over `duration`.
void runStill(const std::string& display, pid_t server, int duration) {
  X11CaptureService service(display);
  asio::thread_pool queue(1);
  asio::thread_pool control(1);
  auto content = asio::co_spawn(control, service.shareableContent(), asio::use_future).get();
  if (content.displays.empty()) throw std::runtime_error("no display");
  StreamConfiguration configuration;
  configuration.width = kWidth;
  configuration.height = kHeight;
  configuration.fps = kFps;
  auto output = std::make_shared<EncodingOutput>(1'000'000);
  auto stream = service.makeStream(ContentFilter{content.displays[0].id, {}}, configuration, output,
                                   queue.get_executor());
  asio::co_spawn(control, stream->startCapture(), asio::use_future).get();
  // The first frame and the encoder's start are not what a still screen costs.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto frames0 = output->encoding.frames();
  const double cpu0 = processCpuSeconds();
  const double server0 = cpuSecondsOf(server);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(duration));
  const double wall = seconds(Clock::now() - start);
  const double cpu = processCpuSeconds() - cpu0;
  const double serverCpu = cpuSecondsOf(server) - server0;
  const auto frames = output->encoding.frames() - frames0;
  asio::co_spawn(control, stream->stopCapture(), asio::use_future).get();
  output->encoding.wait();
  std::printf(
      "| still screen, %dx%d at %d fps | seconds | frames encoded | capturing process CPU (%% of a core) | "
      "X server CPU (%% of a core) |\n|---|---:|---:|---:|---:|\n| service | %.1f | %lld | %.2f | %.2f |\n",
      kWidth, kHeight, kFps, wall, static_cast<long long>(frames), cpu / wall * 100, serverCpu / wall * 100);
}

// ---- FFmpeg -------------------------------------------------------------------------------------

std::optional<Result> runFfmpeg(const std::string& display, pid_t server, int frames) {
  Result result;
  result.name = "ffmpeg x11grab + libx264";
  std::vector<std::string> arguments{"ffmpeg",
                                     "-nostdin",
                                     "-loglevel",
                                     "error",
                                     "-f",
                                     "x11grab",
                                     "-framerate",
                                     std::to_string(kFps),
                                     "-video_size",
                                     std::to_string(kWidth) + "x" + std::to_string(kHeight),
                                     "-i",
                                     display,
                                     "-c:v",
                                     "libx264",
                                     "-preset",
                                     "veryfast",
                                     "-tune",
                                     "zerolatency",
                                     "-bf",
                                     "0",
                                     "-b:v",
                                     "6M",
                                     "-maxrate",
                                     "9M",
                                     "-bufsize",
                                     "6M",
                                     "-frames:v",
                                     std::to_string(frames),
                                     "-f",
                                     "null",
                                     "-"};
  std::vector<char*> argv;
  for (auto& a : arguments)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // Its complaints about the null muxer's timestamps are of no interest; its exit status is.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const double server0 = cpuSecondsOf(server);
  const auto start = Clock::now();
  const int spawned = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::cerr << "ffmpeg cannot be started; its column is left out\n";
    return std::nullopt;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.wallSeconds = seconds(Clock::now() - start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::cerr << "ffmpeg failed; its column is left out\n";
    return std::nullopt;
  }
  const auto toSeconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  result.frames = frames;
  result.cpuPerFrame = (toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime)) * 1e3 / frames;
  result.serverCpuPerFrame = (cpuSecondsOf(server) - server0) * 1e3 / frames;
  return result;
}

std::string ms(double v) {
  if (std::isnan(v)) return "–";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

void printTable(const std::vector<Result>& results, const std::optional<Result>& ffmpeg) {
  std::vector<const Result*> columns;
  for (const Result& r : results)
    columns.push_back(&r);
  if (ffmpeg) columns.push_back(&*ffmpeg);
  std::cout << "| per frame |";
  for (const Result* r : columns)
    std::cout << " " << r->name << " |";
  std::cout << "\n|---|";
  for (std::size_t i = 0; i < columns.size(); ++i)
    std::cout << "---:|";
  std::cout << "\n";
  const auto row = [&](const std::string& label, auto value) {
    std::cout << "| " << label << " |";
    for (const Result* r : columns)
      std::cout << " " << value(*r) << " |";
    std::cout << "\n";
  };
  const auto stat = [](const Series& s, bool p99) {
    return s.values.empty() ? std::string("–") : ms(p99 ? s.p99() : s.median());
  };
  row("grab (SHM read, cursor; composing when excluding), ms median / p99",
      [&](const Result& r) { return stat(r.grab, false) + " / " + stat(r.grab, true); });
  row("of which compose() (its requests and round trips; the server's pixel work ends in the SHM read), ms "
      "median / p99",
      [&](const Result& r) { return stat(r.compose, false) + " / " + stat(r.compose, true); });
  row("convert (scale + NV12), ms median / p99",
      [&](const Result& r) { return stat(r.convert, false) + " / " + stat(r.convert, true); });
  row("encode (submit to output), ms median / p99",
      [&](const Result& r) { return stat(r.encode, false) + " / " + stat(r.encode, true); });
  row("total host time, ms median / p99",
      [&](const Result& r) { return stat(r.total, false) + " / " + stat(r.total, true); });
  row("CPU time of the capturing process, ms", [&](const Result& r) { return ms(r.cpuPerFrame); });
  row("CPU time of the X server (Xvfb; includes drawing the moving content), ms",
      [&](const Result& r) { return ms(r.serverCpuPerFrame); });
  row("CPU time, process + X server, ms",
      [&](const Result& r) { return ms(r.cpuPerFrame + r.serverCpuPerFrame); });
  row("bytes per frame at 6 Mbit/s", [&](const Result& r) {
    return std::isnan(r.bytesPerFrame) ? std::string("–")
                                       : std::to_string(static_cast<long>(r.bytesPerFrame));
  });
  row("frames / wall seconds",
      [&](const Result& r) { return std::to_string(r.frames) + " / " + ms(r.wallSeconds); });
  if (ffmpeg) {
    std::cout << "\n";
    for (const Result& r : results) {
      if (r.name.rfind("service", 0) != 0) continue;
      std::cout << "Ratio ours ÷ FFmpeg (" << r.name
                << "), CPU of the capturing process: " << ms(r.cpuPerFrame / ffmpeg->cpuPerFrame)
                << "; with the X server's CPU: "
                << ms((r.cpuPerFrame + r.serverCpuPerFrame) /
                      (ffmpeg->cpuPerFrame + ffmpeg->serverCpuPerFrame))
                << "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 300;
  bool withFfmpeg = true;
  int still = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--frames" && i + 1 < argc) {
      frames = std::max(30, std::atoi(argv[++i]));
    } else if (argument == "--no-ffmpeg") {
      withFfmpeg = false;
    } else if (argument == "--still" && i + 1 < argc) {
      still = std::max(1, std::atoi(argv[++i]));
    } else {
      std::cerr << "usage: capture_bench [--frames N] [--no-ffmpeg] | --still SECONDS\n";
      return 2;
    }
  }
  try {
    Xvfb server;
    if (still > 0) {
      runStill(server.display(), server.pid(), still);
      return 0;
    }
    // The animation runs in its own process, so that its CPU time counts for nobody.
    const pid_t animator = fork();
    if (animator == 0) animate(server.display());
    if (animator < 0) throw std::runtime_error("fork failed");

    // A window to leave out, over the moving content, mapped after the animation's window.
    Connection connection = Connection::connect(server.display());
    xcb_connection_t* c = connection.get();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const xcb_window_t curtain = xcb_generate_id(c);
    const std::uint32_t values[] = {0xFFFFFF, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, curtain, connection.root(), 760, 390, 400, 300, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, connection.screen()->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, curtain);
    Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    std::ifstream loadFile("/proc/loadavg");
    std::string load;
    std::getline(loadFile, load);
    std::cerr << "display " << server.display() << ", " << kWidth << "x" << kHeight << " at " << kFps
              << " fps, " << frames << " frames per phase, " << std::thread::hardware_concurrency()
              << " CPUs, load " << load << "\n";

    std::vector<Result> results;
    results.push_back(runStages(server.display(), server.pid(), frames, std::nullopt));
    results.push_back(runStages(server.display(), server.pid(), frames, curtain));
    results.push_back(runService(server.display(), server.pid(), frames, std::nullopt));
    results.push_back(runService(server.display(), server.pid(), frames, curtain));
    std::optional<Result> ffmpeg;
    if (withFfmpeg) ffmpeg = runFfmpeg(server.display(), server.pid(), frames);
    printTable(results, ffmpeg);

    kill(animator, SIGTERM);
    waitpid(animator, nullptr, 0);
  } catch (const std::exception& e) {
    std::cerr << "capture_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
