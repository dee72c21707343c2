// cvlmanager: one fixed-size window whose content follows the model's stage. One instance per
// user: a second start brings the first one's window forward and exits 0. "--uninstall" opens
// on the uninstall confirmation (the "Uninstall Corvello" menu entry).
#include <QGuiApplication>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

#include "manager/app_model.h"
#include "manager/host_control_bridge.h"
#include "manager/manager_window.h"
#include "manager/shown_screen_log.h"
#include "manager/single_instance.h"

Q_IMPORT_QML_PLUGIN(CorvelloPlugin)

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("Corvello"));
  app.setDesktopFileName(QStringLiteral("corvello"));
  bool openOnUninstall = app.arguments().contains(QStringLiteral("--uninstall"));

  cvl::SingleInstance instance;
  if (instance.forwardToRunning(openOnUninstall)) return 0;
  instance.listen();

  cvl::setUpManagerLook(app);
  cvl::AppModel model;
  cvl::HostControlBridge bridge;
  if (openOnUninstall) model.setConfirmingUninstall(true);

  auto engine = cvl::loadManagerWindow(model, bridge);
  if (!engine) return 1;
  QQuickWindow* window = cvl::managerWindow(*engine);
  new cvl::ShownScreenLog(model, *window);
  QObject::connect(&instance, &cvl::SingleInstance::raiseRequested, window,
                   [window, &model](bool uninstall) {
                     if (uninstall) model.setConfirmingUninstall(true);
                     window->setWindowStates(window->windowStates() & ~Qt::WindowMinimized);
                     window->show();
                     window->raise();
                     window->requestActivate();
                   });
  return app.exec();
}
