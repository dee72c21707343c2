#include "manager/single_instance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace cvl {

namespace {
constexpr int CONNECT_TIMEOUT_MS = 2000;
const QByteArray RAISE = "raise\n";
const QByteArray RAISE_FOR_UNINSTALL = "uninstall\n";
}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

QString SingleInstance::socketPath() {
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists()) return runtime + "/corvello-manager";
  return QDir::tempPath() + "/corvello-manager-" + QString::number(::getuid());
}

bool SingleInstance::forwardToRunning(bool uninstall) {
  QLocalSocket socket;
  socket.connectToServer(socketPath());
  if (!socket.waitForConnected(CONNECT_TIMEOUT_MS)) return false;
  socket.write(uninstall ? RAISE_FOR_UNINSTALL : RAISE);
  socket.waitForBytesWritten(CONNECT_TIMEOUT_MS);
  // The first instance answers once it has acted, so the caller may rely on it.
  socket.waitForReadyRead(CONNECT_TIMEOUT_MS);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::listen() {
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(socketPath())) {
    // A socket left by an instance that crashed: nobody answered on it above.
    QLocalServer::removeServer(socketPath());
    if (!server_->listen(socketPath())) return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (!client->canReadLine()) return;
        QByteArray request = client->readLine(64);
        emit raiseRequested(request == RAISE_FOR_UNINSTALL);
        client->write("ok\n");
        client->flush();
      });
    }
  });
  return true;
}

}  // namespace cvl
