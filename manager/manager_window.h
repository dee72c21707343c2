#pragma once
// Sets up the look the screens use (Qt Quick Controls style, font, palette) and loads the
// window for a model. Used by cvlmanager and by the screen tests. GUI thread only.
//
// The program must link the "Corvello" QML module (cvlmanageruiplugin) and import it with
// Q_IMPORT_QML_PLUGIN(CorvelloPlugin).

#include <QQmlApplicationEngine>

#include <memory>

class QGuiApplication;
class QQuickWindow;

namespace cvl {

class AppModel;
class HostControlBridge;

// Call once, before the first window: style "Fusion", the font Inter, a light palette.
void setUpManagerLook(QGuiApplication& app);

// Registers the model's and the QR item's types with QML (idempotent).
void registerManagerTypes();

// Loads Main.qml with `appModel` and `hostControl`; null when it does not load.
std::unique_ptr<QQmlApplicationEngine> loadManagerWindow(AppModel& model,
                                                         HostControlBridge& bridge);

// The one window of a loaded engine.
QQuickWindow* managerWindow(QQmlApplicationEngine& engine);

}  // namespace cvl
