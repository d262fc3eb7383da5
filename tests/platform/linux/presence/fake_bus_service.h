#pragma once

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvanta::testing {

// One object a fake service exports: its path and the introspection XML of its interfaces.
struct FakeObject {
  std::string path;
  std::string introspection;
};

// A service on a message bus, served from a thread of its own: it owns `name`, exports the given
// objects and hands every method call to `onMethod` (on that thread), which must answer the
// invocation. Property reads go to `onProperty`. Every call is recorded.
class FakeBusService {
 public:
  struct Call {
    std::string method;
    std::string arguments;  // as g_variant_print shows them, e.g. ("Quorvanta Host", "reason")
  };
  using MethodHandler =
      std::function<void(const Call& call, GVariant* parameters, GDBusMethodInvocation* invocation)>;
  using PropertyHandler = std::function<GVariant*(const std::string& path, const std::string& property)>;

  // Throws std::runtime_error when the bus cannot be reached or the name is taken.
  FakeBusService(const std::string& address, std::string name, std::vector<FakeObject> objects,
                 MethodHandler onMethod, PropertyHandler onProperty = {});
  ~FakeBusService();
  FakeBusService(const FakeBusService&) = delete;
  FakeBusService& operator=(const FakeBusService&) = delete;

  std::vector<Call> calls() const;
  // Waits until at least `count` calls of `method` were made; false when `limit` passed first.
  bool waitForCalls(const std::string& method, std::size_t count, std::chrono::milliseconds limit) const;

 private:
  static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                         GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                               const gchar* property, GError**, gpointer self);
  void serve(const std::string& address);
  void stop();

  std::string name_;
  std::vector<FakeObject> objects_;
  MethodHandler onMethod_;
  PropertyHandler onProperty_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;
  bool started_ = false;
  bool ready_ = false;
  std::thread thread_;
};

}  // namespace quorvanta::testing
