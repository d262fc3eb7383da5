#include "platform/linux/wayland/pipewire/pipewire_stream.h"

#include <stdexcept>

#include "core/util/unique_fd.h"

// PipeWire's headers are C with macros that GCC's C++ warnings object to.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wcast-align"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

namespace quorvanta::wayland {
namespace {

constexpr const char* kNoPipeWire =
    "The desktop's PipeWire service cannot be reached, so the screen cannot be captured.";
constexpr const char* kStreamEnded = "The display is no longer available.";

struct ThreadLoopDeleter {
  void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};

// Holds the PipeWire library initialised for as long as a stream exists.
struct Library {
  Library() { pw_init(nullptr, nullptr); }
  ~Library() { pw_deinit(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
};

const spa_pod* formatParameter(spa_pod_builder& builder) {
  const spa_rectangle defaultSize = SPA_RECTANGLE(1280, 720);
  const spa_rectangle minimumSize = SPA_RECTANGLE(1, 1);
  const spa_rectangle maximumSize = SPA_RECTANGLE(16384, 16384);
  const spa_fraction anyRate = SPA_FRACTION(0, 1);
  const spa_fraction maximumRate = SPA_FRACTION(1000, 1);
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minimumSize, &maximumSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&anyRate, &anyRate, &maximumRate)));
}

const spa_pod* buffersParameter(spa_pod_builder& builder) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
}

}  // namespace

struct PipeWireStream::State {
  Library library;
  Callbacks callbacks;
  std::unique_ptr<pw_thread_loop, ThreadLoopDeleter> loop;
  std::unique_ptr<pw_context, ContextDeleter> context;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_video_info_raw format{};
  bool negotiated = false;
  bool ended = false;
  bool streaming = false;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    // Stopping the loop joins its thread: no callback runs after this.
    if (loop) pw_thread_loop_stop(loop.get());
    if (stream != nullptr) pw_stream_destroy(stream);
    if (core != nullptr) pw_core_disconnect(core);
  }

  void end(const std::string& reason) {
    if (ended) return;
    ended = true;
    if (callbacks.onEnded) callbacks.onEnded(reason);
  }

  static void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* self = static_cast<State*>(data);
    if (state == PW_STREAM_STATE_STREAMING) self->streaming = true;
    // A producer that goes away (the monitor was unplugged, the session closed) leaves the stream
    // unconnected or in error.
    if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && self->streaming))
      self->end(kStreamEnded);
  }

  static void paramChanged(void* data, uint32_t id, const spa_pod* parameter) {
    auto* self = static_cast<State*>(data);
    if (parameter == nullptr || id != SPA_PARAM_Format) return;
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (spa_format_parse(parameter, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
      return;
    spa_video_info_raw format{};
    if (spa_format_video_raw_parse(parameter, &format) < 0) return;
    self->format = format;
    self->negotiated = format.format == SPA_VIDEO_FORMAT_BGRx || format.format == SPA_VIDEO_FORMAT_BGRA;
    std::uint8_t storage[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* parameters[] = {buffersParameter(builder)};
    pw_stream_update_params(self->stream, parameters, 1);
  }

  static void process(void* data) {
    auto* self = static_cast<State*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
    if (buffer == nullptr) return;
    self->deliver(*buffer->buffer);
    pw_stream_queue_buffer(self->stream, buffer);
  }

  static const pw_stream_events& events() {
    static const pw_stream_events table = [] {
      pw_stream_events events{};
      events.version = PW_VERSION_STREAM_EVENTS;
      events.state_changed = &State::stateChanged;
      events.param_changed = &State::paramChanged;
      events.process = &State::process;
      return events;
    }();
    return table;
  }

  void deliver(const spa_buffer& buffer) {
    if (!negotiated || buffer.n_datas < 1 || !callbacks.onPicture) return;
    const spa_data& plane = buffer.datas[0];
    if (plane.data == nullptr || plane.chunk == nullptr) return;
    if ((plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) return;
    if (const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
        header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0)
      return;
    const auto width = static_cast<int>(format.size.width);
    const auto height = static_cast<int>(format.size.height);
    const int stride = plane.chunk->stride != 0 ? plane.chunk->stride : width * 4;
    const std::uint64_t needed = static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(height);
    if (width <= 0 || height <= 0 || stride < width * 4 || plane.chunk->size == 0 ||
        plane.chunk->offset + needed > plane.maxsize)
      return;
    VideoPicture picture{static_cast<std::uint8_t*>(plane.data) + plane.chunk->offset, width, height, stride};
    callbacks.onPicture(picture);
  }
};

PipeWireStream::PipeWireStream(std::uint32_t node, Callbacks callbacks, int remoteFd)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  UniqueFd remote(remoteFd);
  s.callbacks = std::move(callbacks);
  s.loop.reset(pw_thread_loop_new("quorvanta-pw", nullptr));
  if (!s.loop) throw std::runtime_error(kNoPipeWire);
  s.context.reset(pw_context_new(pw_thread_loop_get_loop(s.loop.get()), nullptr, 0));
  if (!s.context || pw_thread_loop_start(s.loop.get()) < 0) throw std::runtime_error(kNoPipeWire);

  pw_thread_loop_lock(s.loop.get());
  // PipeWire owns a remote's descriptor once it is handed over, even when connecting fails.
  s.core = remote ? pw_context_connect_fd(s.context.get(), remote.release(), nullptr, 0)
                  : pw_context_connect(s.context.get(), nullptr, 0);
  if (s.core != nullptr) {
    s.stream = pw_stream_new(s.core, "quorvanta-capture",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  }
  int result = -1;
  if (s.stream != nullptr) {
    pw_stream_add_listener(s.stream, &s.listener, &State::events(), &s);
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* parameters[] = {formatParameter(builder)};
    result = pw_stream_connect(
        s.stream, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), parameters, 1);
  }
  pw_thread_loop_unlock(s.loop.get());
  if (result < 0) {
    state_.reset();
    throw std::runtime_error(kNoPipeWire);
  }
}

PipeWireStream::~PipeWireStream() = default;

}  // namespace quorvanta::wayland

#pragma GCC diagnostic pop
