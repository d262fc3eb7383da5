#include "platform/linux/x11/x11_outputs.h"

#include <algorithm>
#include <stdexcept>

#include <xcb/randr.h>

namespace quorvanta::x11 {

std::vector<OutputGeometry> queryOutputs(const Connection& connection) {
  xcb_connection_t* c = connection.get();
  if (connection.hasError()) throw std::runtime_error("The X display cannot be reached.");
  Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, connection.root()), nullptr));
  if (!resources) throw std::runtime_error("The X display's outputs cannot be listed.");
  Reply<xcb_randr_get_output_primary_reply_t> primary(
      xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, connection.root()), nullptr));

  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  std::vector<OutputGeometry> result;
  for (int i = 0; i < count; ++i) {
    Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp), nullptr));
    if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE) continue;
    Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        c, xcb_randr_get_crtc_info(c, info->crtc, resources->config_timestamp), nullptr));
    if (!crtc || crtc->mode == XCB_NONE || crtc->width == 0 || crtc->height == 0) continue;
    const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
    const auto length = static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get()));
    result.push_back(
        OutputGeometry{outputs[i], crtc->x, crtc->y, crtc->width, crtc->height, std::string(name, length)});
  }
  if (primary && primary->output != XCB_NONE) {
    std::stable_partition(result.begin(), result.end(),
                          [&](const OutputGeometry& o) { return o.id == primary->output; });
  }
  return result;
}

}  // namespace quorvanta::x11
