#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>
#include <QWidget>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/host/host_model.h"

namespace quorvanta::testing {

// Processes events until `done` holds or `limit` passes; returns whether it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  QDeadlineTimer deadline(limit.count());
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// The one descendant of `root` named `name`; fails the test when there is not exactly one.
template <typename Widget = QWidget>
Widget* child(const QObject* root, const char* name) {
  const QList<Widget*> found = root->findChildren<Widget*>(QString::fromLatin1(name));
  if (found.size() != 1) return nullptr;
  return found.front();
}

// Where the screenshots of the tests go: <build>/tests/app/screenshots.
std::string screenshotDirectory();

// Runs `program` with `arguments`, waits at most `limit` and returns its exit status and output
// (stdout); -1 when it could not be run or did not finish in time.
struct ProcessResult {
  int status = -1;
  std::string output;
};
ProcessResult runProgram(const std::vector<std::string>& arguments,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

// A device as the registry holds it.
TrustedDevice device(const std::string& id, const std::string& name, double pairedAt);

// A pairing invitation that forms a link.
PairingInvitation invitation();

}  // namespace quorvanta::testing
