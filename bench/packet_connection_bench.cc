// Video throughput over a loopback TLS connection: PacketConnection against a bare Asio TLS loop
// that writes and reads the same packets on the same kind of socket pair. The difference between
// the two is what the connection itself costs: a post per frame onto a type-erased strand, the
// pacer's bookkeeping, a fresh buffer for every received frame and the release of every sent one.
//
// Both variants share everything else: one io_context run by two threads for both ends, the
// same TLS contexts (client pinned to the server's certificate), TCP_NODELAY, and each iteration
// sends the same number of frames from freshly prepared buffers and waits until the receiver
// has all of them.
//
// The sender of the PacketConnection variant does not wait for pacer slots: the unacknowledged
// regime allows one frame in flight, which would measure the round trip rather than the
// throughput, and per-frame acknowledgements at thousands of frames a second would trip the
// control rate limit. sendVideo consumes or hands back reservations without checking them.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <benchmark/benchmark.h>
#include <asio/bind_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>

#include "core/transport/packet_connection.h"
#include "core/transport/packet_reader.h"
#include "core/transport/tls_context.h"
#include "tools/ephemeral_identity.h"

namespace quorvanta {
namespace {

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;
using Strand = asio::strand<asio::io_context::executor_type>;

constexpr int kIoThreads = 2;
constexpr std::int64_t kFramesPerIteration = 200;
constexpr std::uint8_t kFill = 0x5a;
constexpr auto kSetupTimeout = std::chrono::seconds(10);
constexpr auto kIterationTimeout = std::chrono::seconds(30);
// Longer than the connection's own bound on an orderly TLS close (half a second).
constexpr auto kTeardownTimeout = std::chrono::seconds(5);

// One throwaway identity and the two contexts made from it, shared by every benchmark.
struct TlsSetup {
  TlsSetup()
      : identity(makeEphemeralIdentity("quorvanta-bench")),
        server(makeServerTlsContext(identity)),
        client(makeClientTlsContext(certificateSha256Hex(identity.certificate.get()))) {}

  TlsIdentity identity;
  std::shared_ptr<asio::ssl::context> server;
  std::shared_ptr<asio::ssl::context> client;
};

const TlsSetup& tlsSetup() {
  static const TlsSetup setup;
  return setup;
}

// An io_context run by a fixed number of threads. join() lets them finish the outstanding work;
// if that takes longer than `timeout`, the context is stopped and join() reports it.
class IoThreads {
 public:
  explicit IoThreads(int count) : work_(asio::make_work_guard(context_)), running_(count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        context_.run();
        running_.fetch_sub(1);
      });
    }
  }
  ~IoThreads() { join(kTeardownTimeout); }

  IoThreads(const IoThreads&) = delete;
  IoThreads& operator=(const IoThreads&) = delete;

  asio::io_context& context() { return context_; }

  bool join(std::chrono::milliseconds timeout) {
    work_.reset();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool clean = true;
    while (running_.load() > 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        context_.stop();
        clean = false;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    return clean;
  }

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<int> running_;
  std::vector<std::thread> threads_;
};

// Frames seen by the receiving end. The benchmark thread sleeps until a given total is reached
// or the receiver fails; the receiver only wakes it for that.
class FrameCounter {
 public:
  void add(std::size_t payloadBytes) {
    std::lock_guard guard(lock_);
    ++frames_;
    bytes_ += static_cast<std::int64_t>(payloadBytes);
    if (frames_ >= awaited_) changed_.notify_one();
  }

  void fail() {
    std::lock_guard guard(lock_);
    failed_ = true;
    changed_.notify_one();
  }

  // Sets the total to wait for; call before sending the frames that reach it.
  void expect(std::int64_t frames) {
    std::lock_guard guard(lock_);
    awaited_ = frames;
  }

  bool wait(std::chrono::seconds timeout) {
    std::unique_lock guard(lock_);
    const bool done = changed_.wait_for(guard, timeout, [this] { return failed_ || frames_ >= awaited_; });
    return done && !failed_;
  }

  std::int64_t frames() const {
    std::lock_guard guard(lock_);
    return frames_;
  }
  std::int64_t bytes() const {
    std::lock_guard guard(lock_);
    return bytes_;
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::int64_t frames_ = 0;
  std::int64_t bytes_ = 0;
  std::int64_t awaited_ = 0;
  bool failed_ = false;
};

// Records the first error only: the library allows one per run.
void fail(benchmark::State& state, const char* message) {
  if (!state.error_occurred()) state.SkipWithError(message);
}

template <typename T>
bool ready(std::future<T>& future) {
  return future.wait_for(kSetupTimeout) == std::future_status::ready;
}

void prepareFrames(std::vector<Bytes>& frames, std::size_t frameBytes) {
  for (auto& frame : frames)
    frame.assign(frameBytes, kFill);
}

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time spent by every thread of the process except the calling one: on these benchmarks, the
// I/O threads that encrypt, send, receive and decrypt. Unlike the wall clock, it hardly moves when
// other processes compete for the cores.
class OtherThreadsCpu {
 public:
  OtherThreadsCpu() : process_(cpuSeconds(RUSAGE_SELF)), thread_(cpuSeconds(RUSAGE_THREAD)) {}
  double elapsed() const {
    return (cpuSeconds(RUSAGE_SELF) - process_) - (cpuSeconds(RUSAGE_THREAD) - thread_);
  }

 private:
  double process_;
  double thread_;
};

// Throughput figures in the same units for both variants: frame payload bytes only.
void report(benchmark::State& state, const FrameCounter& counter, std::size_t frameBytes,
            double ioCpuSeconds) {
  const auto frames = static_cast<std::int64_t>(state.iterations()) * kFramesPerIteration;
  const auto bytes = frames * static_cast<std::int64_t>(frameBytes);
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(bytes);
  state.counters["MB"] = benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
  if (frames > 0) state.counters["io_cpu_us_per_frame"] = ioCpuSeconds * 1e6 / static_cast<double>(frames);
  // Every received payload is the frame plus its flag byte.
  const auto receivedPayload = static_cast<std::int64_t>(frameBytes) + 1;
  if (counter.frames() < frames || counter.bytes() != counter.frames() * receivedPayload) {
    fail(state, "receiver saw missing or mis-sized frames");
  }
}

void videoOverPacketConnection(benchmark::State& state) {
  const auto frameBytes = static_cast<std::size_t>(state.range(0));
  const TlsSetup& tls = tlsSetup();
  FrameCounter counter;
  std::promise<void> serverReady;
  std::promise<void> clientReady;
  std::promise<void> serverClosed;
  std::promise<void> clientClosed;
  auto serverReadyFuture = serverReady.get_future();
  auto clientReadyFuture = clientReady.get_future();
  auto serverClosedFuture = serverClosed.get_future();
  auto clientClosedFuture = clientClosed.get_future();

  // Declared after everything the callbacks refer to, so that even an early exit joins its threads
  // before those go away.
  IoThreads io(kIoThreads);
  using Role = PacketConnection::Role;

  asio::ip::tcp::acceptor acceptor(io.context(), {asio::ip::address_v4::loopback(), 0});
  auto client = PacketConnection::create({asio::ip::tcp::socket(io.context()), *tls.client}, Role::client);
  client->setOnVideo([&counter](Bytes frame) { counter.add(frame.size()); });
  client->setOnReady([&clientReady] { clientReady.set_value(); });
  client->setOnClose([&](std::optional<std::string>) {
    counter.fail();
    clientClosed.set_value();
  });
  client->start(acceptor.local_endpoint());

  auto server = PacketConnection::create({acceptor.accept(), *tls.server}, Role::server);
  server->setOnReady([&serverReady] { serverReady.set_value(); });
  server->setOnClose([&](std::optional<std::string>) {
    counter.fail();
    serverClosed.set_value();
  });
  server->start();

  if (!ready(serverReadyFuture) || !ready(clientReadyFuture)) {
    fail(state, "TLS handshake did not complete");
  } else {
    std::vector<Bytes> frames(kFramesPerIteration);
    std::int64_t expected = 0;
    bool keyframeSent = false;
    const OtherThreadsCpu ioCpu;
    for (auto _ : state) {
      state.PauseTiming();
      prepareFrames(frames, frameBytes);
      state.ResumeTiming();
      expected += kFramesPerIteration;
      counter.expect(expected);
      // Frames before the first keyframe are dropped by the sender.
      for (auto& frame : frames) {
        server->sendVideo(std::move(frame), !keyframeSent);
        keyframeSent = true;
      }
      if (!counter.wait(kIterationTimeout)) {
        fail(state, "frames did not arrive");
        break;
      }
    }
    report(state, counter, frameBytes, ioCpu.elapsed());
  }

  server->cancel();
  client->cancel();
  const bool closed = ready(serverClosedFuture) && ready(clientClosedFuture);
  if (!io.join(kTeardownTimeout) || !closed) fail(state, "teardown did not finish in time");
}

// The sending end of the bare loop: a write queue like the connection's, one write at a time,
// each frame as [header, flag byte | frame] in the same two-buffer shape. The receiver can count
// the last frame of a batch before the write that carried it has completed here, so the next
// batch may be queued while a write is still in progress.
class PlainSender {
 public:
  PlainSender(TlsStream& stream, Strand& strand, FrameCounter& counter)
      : stream_(stream), strand_(strand), counter_(counter) {}

  // The frames are not copied; each must stay untouched until the receiver has counted it.
  void send(const std::vector<Bytes>& frames, bool firstIsKeyframe) {
    asio::post(strand_, [this, &frames, firstIsKeyframe] {
      bool keyframe = firstIsKeyframe;
      for (const Bytes& frame : frames) {
        queue_.push_back(Queued{&frame, keyframe});
        keyframe = false;
      }
      if (!writing_) writeNext();
    });
  }

 private:
  struct Queued {
    const Bytes* frame = nullptr;
    bool keyframe = false;
  };

  void writeNext() {
    writing_ = !queue_.empty();
    if (!writing_) return;
    const Queued& next = queue_.front();
    const auto header =
        encodePacketHeader(PacketKind::video, static_cast<std::uint32_t>(next.frame->size() + 1));
    std::copy(header.begin(), header.end(), prefix_.begin());
    prefix_[kPacketHeaderSize] = next.keyframe ? 1 : 0;
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(prefix_), asio::buffer(*next.frame)};
    asio::async_write(stream_, buffers,
                      asio::bind_executor(strand_, [this](const std::error_code& error, std::size_t) {
                        queue_.pop_front();
                        if (error) {
                          writing_ = false;
                          queue_.clear();
                          return counter_.fail();
                        }
                        writeNext();
                      }));
  }

  TlsStream& stream_;
  Strand& strand_;
  FrameCounter& counter_;
  std::deque<Queued> queue_;
  bool writing_ = false;
  std::array<std::uint8_t, kPacketHeaderSize + 1> prefix_{};
};

// The receiving end of the bare loop: exact reads of header then body into one reused buffer.
class PlainReceiver {
 public:
  PlainReceiver(TlsStream& stream, Strand& strand, FrameCounter& counter)
      : stream_(stream), strand_(strand), counter_(counter) {}

  void start() {
    asio::post(strand_, [this] { readHeader(); });
  }

 private:
  void readHeader() {
    asio::async_read(stream_, asio::buffer(header_),
                     asio::bind_executor(strand_, [this](const std::error_code& error, std::size_t) {
                       if (error) return counter_.fail();
                       readBody();
                     }));
  }

  void readBody() {
    const auto verdict = PacketReader::checkHeader(header_, true);
    if (!verdict.header || verdict.header->kind != PacketKind::video) return counter_.fail();
    body_.resize(verdict.header->length);
    asio::async_read(stream_, asio::buffer(body_),
                     asio::bind_executor(strand_, [this](const std::error_code& error, std::size_t) {
                       if (error) return counter_.fail();
                       counter_.add(body_.size());
                       readHeader();
                     }));
  }

  TlsStream& stream_;
  Strand& strand_;
  FrameCounter& counter_;
  std::array<std::uint8_t, kPacketHeaderSize> header_{};
  Bytes body_;
};

void configureSocket(asio::ip::tcp::socket& socket) {
  std::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
}

void videoOverPlainTls(benchmark::State& state) {
  const auto frameBytes = static_cast<std::size_t>(state.range(0));
  const TlsSetup& tls = tlsSetup();
  FrameCounter counter;
  std::promise<std::error_code> serverHandshake;
  std::promise<std::error_code> clientHandshake;
  auto serverHandshakeFuture = serverHandshake.get_future();
  auto clientHandshakeFuture = clientHandshake.get_future();

  // The strands and streams below belong to this context; its threads are joined explicitly
  // before any of them goes out of scope.
  IoThreads io(kIoThreads);
  Strand serverStrand = asio::make_strand(io.context());
  Strand clientStrand = asio::make_strand(io.context());

  asio::ip::tcp::acceptor acceptor(io.context(), {asio::ip::address_v4::loopback(), 0});
  TlsStream client(asio::ip::tcp::socket(io.context()), *tls.client);
  client.lowest_layer().connect(acceptor.local_endpoint());
  TlsStream server(acceptor.accept(), *tls.server);
  configureSocket(client.next_layer());
  configureSocket(server.next_layer());

  server.async_handshake(asio::ssl::stream_base::server,
                         asio::bind_executor(serverStrand, [&serverHandshake](const std::error_code& error) {
                           serverHandshake.set_value(error);
                         }));
  client.async_handshake(asio::ssl::stream_base::client,
                         asio::bind_executor(clientStrand, [&clientHandshake](const std::error_code& error) {
                           clientHandshake.set_value(error);
                         }));

  PlainSender sender(server, serverStrand, counter);
  PlainReceiver receiver(client, clientStrand, counter);

  if (!ready(serverHandshakeFuture) || !ready(clientHandshakeFuture) || serverHandshakeFuture.get() ||
      clientHandshakeFuture.get()) {
    fail(state, "TLS handshake did not complete");
  } else {
    receiver.start();
    std::vector<Bytes> frames(kFramesPerIteration);
    std::int64_t expected = 0;
    bool keyframeSent = false;
    const OtherThreadsCpu ioCpu;
    for (auto _ : state) {
      state.PauseTiming();
      prepareFrames(frames, frameBytes);
      state.ResumeTiming();
      expected += kFramesPerIteration;
      counter.expect(expected);
      sender.send(frames, !keyframeSent);
      keyframeSent = true;
      if (!counter.wait(kIterationTimeout)) {
        fail(state, "frames did not arrive");
        break;
      }
    }
    report(state, counter, frameBytes, ioCpu.elapsed());
  }

  // Closing the sockets on their strands ends the receiver's pending read.
  asio::post(serverStrand, [&server] {
    std::error_code ignored;
    server.lowest_layer().close(ignored);
  });
  asio::post(clientStrand, [&client] {
    std::error_code ignored;
    client.lowest_layer().close(ignored);
  });
  if (!io.join(kTeardownTimeout)) fail(state, "teardown did not finish in time");
}

BENCHMARK(videoOverPacketConnection)
    ->Arg(100'000)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(videoOverPlainTls)->Arg(100'000)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvanta
