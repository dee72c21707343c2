#pragma once
// With CVL_VERBOSE=1, writes "[manager] showing <screen>" once the window has drawn a new
// screen (or the uninstall confirmation), so that scripts and tests driving the real window
// know when to type: the stage, and for the dashboard whether it shows "registered" and a
// missing host, and "(banner)" when a banner shows. Never logs field contents. GUI thread.

#include <QObject>

class QQuickWindow;

namespace cvl {

class AppModel;

class ShownScreenLog : public QObject {
  Q_OBJECT

 public:
  ShownScreenLog(AppModel& model, QQuickWindow& window);

 private:
  QString current() const;

  AppModel& model_;
  QString logged_;
};

}  // namespace cvl
