#include "manager/shown_screen_log.h"

#include <QQuickWindow>

#include "kit/diagnostics/log.h"
#include "manager/app_model.h"

namespace cvl {

ShownScreenLog::ShownScreenLog(AppModel& model, QQuickWindow& window)
    : QObject(&window), model_(model) {
  if (!Log::verbose()) return;
  // Every change of what shows makes the window draw again; the first frame after it is
  // the moment the new screen is on the display.
  auto redraw = [&window] { window.update(); };
  connect(&model, &AppModel::stageChanged, this, redraw);
  connect(&model, &AppModel::confirmingUninstallChanged, this, redraw);
  connect(&model, &AppModel::bannerChanged, this, redraw);
  connect(&model, &AppModel::hostInstalledChanged, this, redraw);
  connect(&model, &AppModel::registeredChanged, this, redraw);
  connect(&window, &QQuickWindow::frameSwapped, this, [this] {
    QString now = current();
    if (now == logged_) return;
    logged_ = now;
    Log::vlog("[manager] showing", now.toStdString());
  });
}

QString ShownScreenLog::current() const {
  if (model_.confirmingUninstall() && model_.stage() == AppModel::Stage::Dashboard) {
    return QStringLiteral("uninstall-dialog");
  }
  QString banner = model_.hasBanner() ? QStringLiteral(" (banner)") : QString();
  switch (model_.stage()) {
    case AppModel::Stage::Working: return QStringLiteral("working");
    case AppModel::Stage::Dashboard:
      return QStringLiteral("dashboard") +
             (model_.registered() ? QStringLiteral(" registered") : QString()) +
             (model_.hostInstalled() ? QString() : QStringLiteral(" (no host)")) + banner;
    case AppModel::Stage::SignIn: return QStringLiteral("signIn") + banner;
    case AppModel::Stage::TwoFactor: return QStringLiteral("twoFactor") + banner;
    case AppModel::Stage::Naming: return QStringLiteral("naming") + banner;
    case AppModel::Stage::ShowQR: return QStringLiteral("showQR") + banner;
  }
  return QString();
}

}  // namespace cvl
