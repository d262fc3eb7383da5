// e2e_latency: the receiving end of the end-to-end latency benchmark (bench/e2e_latency.sh).
//
// The screen shows quorvanta-demo-scene --clock: every frame carries the moment it was drawn
// (CLOCK_MONOTONIC, microseconds) as a row of black and white blocks. This program decodes a
// stream of that screen, reads the row back from the luma plane of every decoded picture and
// subtracts it from the monotonic clock at the moment the decoder handed the picture out. Sender
// and receiver run on the same machine, so both read the same clock.
//
//   e2e_latency quorvanta SECONDS [CLIENT OPTIONS...]
//       runs the reference client's stream command (already paired) for SECONDS
//   e2e_latency mpegts|h264 URL SECONDS
//       opens URL (e.g. tcp://127.0.0.1:5000?listen=1), reads MPEG-TS and decodes its H.264
//       with the same decoder settings as the reference client, for SECONDS after the first picture
//
// Prints one line of key=value pairs on standard output; latencies in milliseconds.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/frame_clock.h"
#include "platform/linux/media/av_handles.h"
#include "tools/client/client_options.h"
#include "tools/client/client_session.h"
#include "tools/client/client_video.h"

namespace {

using quorvanta::client::percentile;

// Collects the age of every decoded picture.
class LatencyRecorder {
 public:
  void picture(const AVFrame& frame) {
    const std::uint64_t now = quorvanta::bench::monotonicMicroseconds();
    if (decoded_ == 0) firstMicros_ = now;
    lastMicros_ = now;
    ++decoded_;
    const std::optional<std::uint64_t> drawn = quorvanta::bench::readFrameClock(frame);
    if (!drawn) {
      ++unreadable_;
      return;
    }
    // A picture whose content the receiver has already seen (the sender captured the same screen
    // twice) says nothing about how fast new content arrives.
    if (lastDrawn_ && *lastDrawn_ == *drawn) {
      ++repeats_;
      return;
    }
    lastDrawn_ = drawn;
    const std::uint64_t age = (now - *drawn) & quorvanta::bench::kFrameClockMask;
    latenciesMs_.push_back(static_cast<double>(age) / 1000.0);
  }

  std::int64_t decoded() const { return decoded_; }
  double secondsSinceFirst() const {
    return decoded_ > 0 ? static_cast<double>(quorvanta::bench::monotonicMicroseconds() - firstMicros_) / 1e6
                        : 0;
  }

  std::string report(std::int64_t payloadBytes, double bitsPerSecond) const {
    const double span = static_cast<double>(lastMicros_ - firstMicros_) / 1e6;
    const double fps = span > 0 ? static_cast<double>(decoded_ - 1) / span : 0;
    const auto ms = [this](double q) {
      const std::optional<double> value = percentile(latenciesMs_, q);
      return value ? std::to_string(*value) : std::string("nan");
    };
    std::ostringstream line;
    line << "decoded=" << decoded_ << " distinct=" << latenciesMs_.size() << " repeats=" << repeats_
         << " unreadable=" << unreadable_ << " seconds=" << span << " fps=" << fps
         << " latency_median_ms=" << ms(0.5) << " latency_p95_ms=" << ms(0.95)
         << " latency_min_ms=" << ms(0.0) << " latency_max_ms=" << ms(1.0)
         << " payload_bytes=" << payloadBytes << " bitrate_bps=" << static_cast<std::int64_t>(bitsPerSecond);
    return line.str();
  }

 private:
  std::int64_t decoded_ = 0;
  std::int64_t unreadable_ = 0;
  std::int64_t repeats_ = 0;
  std::uint64_t firstMicros_ = 0;
  std::uint64_t lastMicros_ = 0;
  std::optional<std::uint64_t> lastDrawn_;
  std::vector<double> latenciesMs_;
};

// The number after `label` on a line of the client's --stats summary, or 0.
double statsNumber(const std::string& summary, const std::string& label) {
  const std::size_t at = summary.find(label);
  if (at == std::string::npos) return 0;
  try {
    return std::stod(summary.substr(at + label.size()));
  } catch (const std::exception&) {
    return 0;
  }
}

int runQuorvanta(const std::string& seconds, const std::vector<std::string>& extra) {
  using namespace quorvanta::client;
  std::vector<std::string> arguments{"stream", "--seconds", seconds, "--stats"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  const ParsedArguments parsed = parseArguments(arguments);
  if (parsed.kind != ParsedArguments::Kind::run) {
    std::cerr << "e2e_latency: bad client options: " << parsed.error << std::endl;
    return 2;
  }
  LatencyRecorder recorder;
  std::ofstream messages("/dev/null");
  std::ostringstream summary;
  ClientStreams streams{messages, summary};
  streams.onFrame = [&recorder](const AVFrame& frame, std::chrono::steady_clock::time_point) {
    recorder.picture(frame);
  };
  const int code = runClient(parsed.options, streams);
  std::cerr << summary.str();
  const std::string text = summary.str();
  const double bitsPerSecond = statsNumber(text, "bit rate: ");
  const double streamSeconds = statsNumber(text, "seconds: ");
  std::cout << recorder.report(static_cast<std::int64_t>(bitsPerSecond * streamSeconds / 8), bitsPerSecond)
            << std::endl;
  return code;
}

struct FormatContextCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct DictionaryFreer {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

// Gives up on a connection that never comes, or a stream that stalls.
struct Deadline {
  std::chrono::steady_clock::time_point at;
  static int expired(void* self) {
    return std::chrono::steady_clock::now() > static_cast<Deadline*>(self)->at ? 1 : 0;
  }
};

// `format`: "mpegts", or "h264" for a raw Annex B stream, read with FFmpeg's lowest-delay settings
// (no buffering, the smallest probe, no analysis).
int runFfmpegReceiver(const std::string& format, const std::string& url, double seconds) {
  Deadline deadline{std::chrono::steady_clock::now() + std::chrono::seconds(60)};
  AVFormatContext* opened = avformat_alloc_context();
  if (opened == nullptr) return 1;
  opened->interrupt_callback = AVIOInterruptCB{&Deadline::expired, &deadline};
  opened->flags |= AVFMT_FLAG_NOBUFFER;
  AVDictionary* options = nullptr;
  if (format == "h264") {
    av_dict_set(&options, "probesize", "32", 0);
    av_dict_set(&options, "analyzeduration", "0", 0);
    av_dict_set(&options, "fflags", "nobuffer", 0);
  } else {
    av_dict_set(&options, "probesize", "32768", 0);
  }
  std::unique_ptr<AVDictionary, DictionaryFreer> optionsOwner(options);
  AVDictionary* used = optionsOwner.release();
  const int status = avformat_open_input(&opened, url.c_str(), av_find_input_format(format.c_str()), &used);
  optionsOwner.reset(used);
  if (status < 0) {
    std::cerr << "e2e_latency: cannot open " << url << std::endl;
    return 1;
  }
  std::unique_ptr<AVFormatContext, FormatContextCloser> input(opened);

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  quorvanta::av::CodecContextPtr decoder(avcodec_alloc_context3(codec));
  quorvanta::av::PacketPtr packet(av_packet_alloc());
  quorvanta::av::FramePtr frame(av_frame_alloc());
  if (codec == nullptr || !decoder || !packet || !frame) return 1;
  // As the reference client decodes.
  decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
  decoder->thread_type = FF_THREAD_SLICE;
  decoder->thread_count = 2;
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return 1;

  LatencyRecorder recorder;
  std::int64_t payloadBytes = 0;
  std::optional<std::chrono::steady_clock::time_point> firstPacket;
  while (recorder.decoded() == 0 || recorder.secondsSinceFirst() < seconds) {
    deadline.at = std::chrono::steady_clock::now() + std::chrono::seconds(recorder.decoded() == 0 ? 60 : 5);
    if (av_read_frame(input.get(), packet.get()) < 0) break;
    const AVStream* stream = input->streams[packet->stream_index];
    if (stream->codecpar->codec_id != AV_CODEC_ID_H264) {
      av_packet_unref(packet.get());
      continue;
    }
    if (!firstPacket) firstPacket = std::chrono::steady_clock::now();
    payloadBytes += packet->size;
    const int sent = avcodec_send_packet(decoder.get(), packet.get());
    av_packet_unref(packet.get());
    if (sent < 0) continue;
    while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      recorder.picture(*frame);
      av_frame_unref(frame.get());
    }
  }
  const double span =
      firstPacket ? std::chrono::duration<double>(std::chrono::steady_clock::now() - *firstPacket).count()
                  : 0;
  std::cout << recorder.report(payloadBytes, span > 0 ? static_cast<double>(payloadBytes) * 8 / span : 0)
            << std::endl;
  return recorder.decoded() > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  av_log_set_level(AV_LOG_ERROR);
  try {
    if (arguments.size() >= 2 && arguments[0] == "quorvanta")
      return runQuorvanta(arguments[1], std::vector<std::string>(arguments.begin() + 2, arguments.end()));
    if (arguments.size() == 3 && (arguments[0] == "mpegts" || arguments[0] == "h264"))
      return runFfmpegReceiver(arguments[0], arguments[1], std::stod(arguments[2]));
  } catch (const std::exception& error) {
    std::cerr << "e2e_latency: " << error.what() << std::endl;
    return 1;
  }
  std::cerr << "usage: e2e_latency quorvanta SECONDS [CLIENT OPTIONS...]\n"
               "       e2e_latency mpegts|h264 URL SECONDS\n";
  return 2;
}
