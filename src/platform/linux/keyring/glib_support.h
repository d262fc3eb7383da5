#pragma once

// Owning handles for the GLib, GIO and libsecret objects that the keyring code touches, and a
// deadline for blocking GIO calls.

#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>
#include <libsecret/secret.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace quorvanta::glib {

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct HashTableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct VariantUnref {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct SecretValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
// A list that owns no reference to its elements.
struct ListFree {
  void operator()(GList* list) const { g_list_free(list); }
};
// A list that owns a reference to each of its GObject elements.
struct ObjectListFree {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
struct StrvFree {
  void operator()(gchar** strings) const { g_strfreev(strings); }
};
struct MainContextUnref {
  void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct SourceDestroy {
  void operator()(GSource* source) const {
    g_source_destroy(source);
    g_source_unref(source);
  }
};

template <typename T>
using Object = std::unique_ptr<T, ObjectUnref>;
using HashTable = std::unique_ptr<GHashTable, HashTableUnref>;
using Variant = std::unique_ptr<GVariant, VariantUnref>;
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;
using ObjectList = std::unique_ptr<GList, ObjectListFree>;
using List = std::unique_ptr<GList, ListFree>;
using Strv = std::unique_ptr<gchar*, StrvFree>;
using MainContext = std::unique_ptr<GMainContext, MainContextUnref>;
using Source = std::unique_ptr<GSource, SourceDestroy>;

// Collects a GError from a C call: `f(..., error.out())`, then test `error`.
class ErrorSlot {
 public:
  GError** out() { return &raw_; }
  explicit operator bool() const { return raw_ != nullptr; }
  [[nodiscard]] const GError* get() const { return raw_; }
  ~ErrorSlot() {
    if (raw_ != nullptr) g_error_free(raw_);
  }
  ErrorSlot() = default;
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;

 private:
  GError* raw_ = nullptr;
};

// Cancels a GCancellable once `timeout` has passed, unless destroyed first. Blocking GIO and
// libsecret calls given the cancellable then return G_IO_ERROR_CANCELLED instead of waiting on.
class CancelAfter {
 public:
  explicit CancelAfter(std::chrono::milliseconds timeout)
      : cancellable_(g_cancellable_new()), thread_([this, timeout](std::stop_token stop) {
          std::unique_lock lock(mutex_);
          if (wake_.wait_for(lock, stop, timeout, [] { return false; }) || stop.stop_requested()) return;
          fired_ = true;
          g_cancellable_cancel(cancellable_.get());
        }) {}
  CancelAfter(const CancelAfter&) = delete;
  CancelAfter& operator=(const CancelAfter&) = delete;
  ~CancelAfter() {
    thread_.request_stop();
    thread_.join();
  }

  [[nodiscard]] GCancellable* cancellable() const { return cancellable_.get(); }
  // Whether the deadline passed (as opposed to the call finishing or failing on its own).
  [[nodiscard]] bool fired() const { return fired_; }

 private:
  Object<GCancellable> cancellable_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::atomic<bool> fired_{false};
  std::jthread thread_;
};

}  // namespace quorvanta::glib
