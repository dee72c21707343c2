#pragma once
// Runs the Qt event loop until a condition holds (generous deadline; never a fixed sleep).

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>

namespace cvl::test {

inline bool processUntil(const std::function<bool()>& condition, int timeoutMs = 30000) {
  QElapsedTimer elapsed;
  elapsed.start();
  QTimer wake;  // also looks at conditions that no event announces
  wake.start(20);
  while (!condition()) {
    if (elapsed.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace cvl::test
