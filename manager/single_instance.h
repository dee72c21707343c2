#pragma once
// One manager per user: the first instance listens on a local socket in the user's runtime
// folder; a later one connects, asks it to show its window, and exits. GUI thread only.

#include <QObject>
#include <QString>

class QLocalServer;

namespace cvl {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(QObject* parent = nullptr);

  // True when another instance took the request to come forward, and to open its uninstall
  // confirmation when `uninstall` is set (this one should then exit).
  bool forwardToRunning(bool uninstall);
  // Becomes the instance others forward to; false when the socket cannot be set up.
  bool listen();

  static QString socketPath();

 signals:
  void raiseRequested(bool uninstall);

 private:
  QLocalServer* server_ = nullptr;
};

}  // namespace cvl
