#include "manager/app_model.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

#include "kit/fabric/fabric_config.h"

namespace cvl {

namespace {

const QString SIGNING_IN = QStringLiteral("Signing in…");
const QString CHECKING_CODE = QStringLiteral("Checking code…");
const QString REGISTERING = QStringLiteral("Registering this computer…");
const QString CONFIRMING = QStringLiteral("Confirming…");
const QString DOWNLOADING = QStringLiteral("Downloading the latest version…");
const QString REMOVING = QStringLiteral("Removing Corvello…");

// Background work for the model: probes and programs that block. Kept wide enough that a
// hanging `check-json` (up to six seconds) never holds up a restart or an uninstall.
QThreadPool& backgroundPool() {
  static QThreadPool* pool = [] {
    auto* p = QThreadPool::globalInstance();
    if (p->maxThreadCount() < 4) p->setMaxThreadCount(4);
    return p;
  }();
  return *pool;
}

enum Priority { UTILITY = 0, USER_INITIATED = 1 };

// Runs `work` on the main thread with the model, unless the model is gone by then. Callable
// from any thread.
template <typename Work>
void onMain(QPointer<AppModel> model, Work work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(
      app,
      [model, work = std::move(work)]() mutable {
        if (model) work(*model);
      },
      Qt::QueuedConnection);
}

QString hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return QString();
  return QString::fromUtf8(name);
}

qsizetype characters(const QString& text) { return text.toUcs4().size(); }

std::string utf8(const QString& text) { return text.toStdString(); }

}  // namespace

struct AppModel::Probe {
  bool registered = false;
  std::optional<std::string> name;
  Grants grants;
  bool agentLoaded = false;
};

AppModel::AppModel(QObject* parent) : AppModel(Options{}, parent) {}

AppModel::AppModel(Options options, QObject* parent)
    : QObject(parent),
      host_(options.host ? std::move(options.host) : HostOperations::system()),
      computerName_(hostName()) {
  backgroundPool();
  refresh();
  timer_.setInterval(options.pollInterval);
  QPointer<AppModel> self(this);
  connect(&timer_, &QTimer::timeout, this, [self] {
    if (!self) return;
    ++self->pollTicks_;
    self->refresh();
  });
  timer_.start();
}

AppModel::~AppModel() = default;

bool AppModel::fullyReady() const {
  return registered_ && agentRunning_ && hasScreenRecording_ && hasAccessibility_;
}

// --- fields -------------------------------------------------------------------------------

#define CVL_SETTER(name, field, signal)    \
  void AppModel::name(const QString& value) { \
    if (field == value) return;            \
    field = value;                         \
    emit signal();                         \
  }
CVL_SETTER(setEmail, email_, emailChanged)
CVL_SETTER(setPassword, password_, passwordChanged)
CVL_SETTER(setTwoFactorCode, twoFactorCode_, twoFactorCodeChanged)
CVL_SETTER(setComputerName, computerName_, computerNameChanged)
CVL_SETTER(setConfirmCode, confirmCode_, confirmCodeChanged)
#undef CVL_SETTER

void AppModel::setConfirmingUninstall(bool value) {
  if (confirmingUninstall_ == value) return;
  confirmingUninstall_ = value;
  emit confirmingUninstallChanged();
}

void AppModel::setStage(Stage stage, const QString& workingMessage) {
  QString message = stage == Stage::Working ? workingMessage : QString();
  if (stage_ == stage && workingMessage_ == message) return;
  stage_ = stage;
  workingMessage_ = message;
  emit stageChanged();
}

void AppModel::setBanner(std::optional<QString> banner) {
  if (banner_ == banner) return;
  banner_ = std::move(banner);
  emit bannerChanged();
}

// --- status poll --------------------------------------------------------------------------

void AppModel::refresh() {
  if (refreshing_) return;  // a poll is in flight: ticks never pile up
  refreshing_ = true;
  QPointer<AppModel> self(this);
  auto host = host_;
  backgroundPool().start(
      [self, host] {
        Probe probe;
        probe.registered = host->isRegistered();
        probe.name = host->registeredName();
        probe.grants = host->hostGrants();
        probe.agentLoaded = host->agentLoaded();
        onMain(self, [probe](AppModel& model) { model.applyProbe(probe); });
      },
      UTILITY);
}

void AppModel::applyProbe(const Probe& probe) {
  bool wasReady = fullyReady();
  auto assign = [this](bool& field, bool value, void (AppModel::*signal)()) {
    if (field == value) return;
    field = value;
    emit(this->*signal)();
  };
  assign(registered_, probe.registered, &AppModel::registeredChanged);
  QString name = probe.name ? QString::fromStdString(*probe.name) : QString();
  if (deviceName_ != name) {
    deviceName_ = name;
    emit deviceNameChanged();
  }
  assign(hostInstalled_, probe.grants.hostPresent, &AppModel::hostInstalledChanged);
  assign(hasScreenRecording_, probe.grants.screenRecording, &AppModel::hasScreenRecordingChanged);
  assign(hasAccessibility_, probe.grants.accessibility, &AppModel::hasAccessibilityChanged);
  assign(agentRunning_, probe.agentLoaded, &AppModel::agentRunningChanged);
  refreshing_ = false;
  if (wasReady != fullyReady()) emit fullyReadyChanged();
}

// --- enrolment ----------------------------------------------------------------------------

void AppModel::startSignIn() {
  setBanner(std::nullopt);
  setStage(Stage::SignIn);
}

void AppModel::submitSignIn() {
  if (email_.isEmpty() || password_.isEmpty()) {
    setBanner(QStringLiteral("Enter your email and password."));
    return;
  }
  setStage(Stage::Working, SIGNING_IN);
  QPointer<AppModel> self(this);
  RegistrationService::login(utf8(email_), utf8(password_), [self](LoginResult result) {
    onMain(self, [result = std::move(result)](AppModel& model) { model.handleLogin(result); });
  });
}

void AppModel::handleLogin(const LoginResult& result) {
  if (result.error) {
    setBanner(QString::fromStdString(*result.error));
    setStage(Stage::SignIn);
  } else if (result.need2fa) {
    pending_ = result.pending.value_or("");
    setBanner(std::nullopt);
    setStage(Stage::TwoFactor);
  } else if (result.token) {
    signedIn(result);
  } else {
    setBanner(QStringLiteral("Unexpected response. Try again."));
    setStage(Stage::SignIn);
  }
}

void AppModel::submitTwoFactor() {
  if (characters(twoFactorCode_) < 6) {
    setBanner(QStringLiteral("Enter the 6-digit code."));
    return;
  }
  setStage(Stage::Working, CHECKING_CODE);
  QPointer<AppModel> self(this);
  RegistrationService::loginTotp(
      utf8(email_), pending_, utf8(twoFactorCode_), [self](LoginResult result) {
        onMain(self,
               [result = std::move(result)](AppModel& model) { model.handleTwoFactor(result); });
      });
}

void AppModel::handleTwoFactor(const LoginResult& result) {
  setTwoFactorCode(QString());
  if (result.token) {
    signedIn(result);
  } else {
    setBanner(QString::fromStdString(result.error.value_or("That code was not accepted.")));
    setStage(Stage::TwoFactor);
  }
}

void AppModel::signedIn(const LoginResult& result) {
  token_ = *result.token;
  accountId_ = result.accountId;
  setPassword(QString());
  setBanner(std::nullopt);
  setStage(Stage::Naming);
}

void AppModel::submitName() {
  QString name = computerName_.trimmed();
  if (name.isEmpty()) {
    setBanner(QStringLiteral("Give this computer a name."));
    return;
  }
  setStage(Stage::Working, REGISTERING);
  QPointer<AppModel> self(this);
  RegistrationService::registerDevice(token_, accountId_, utf8(name), [self](DeviceResult result) {
    onMain(self, [result = std::move(result)](AppModel& model) { model.handleDevice(result); });
  });
}

void AppModel::handleDevice(const DeviceResult& result) {
  if (result.error) {
    setBanner(QString::fromStdString(*result.error));
    setStage(Stage::Naming);
    return;
  }
  pendingDevice_ = result;
  QString otpauth = QString::fromStdString(result.otpauth);
  if (pendingOtpauth_ != otpauth) {
    pendingOtpauth_ = otpauth;
    emit pendingOtpauthChanged();
  }
  setBanner(std::nullopt);
  setStage(Stage::ShowQR);
}

void AppModel::submitConfirm() {
  if (!pendingDevice_) {
    setBanner(QStringLiteral("Something went wrong — start again."));
    setStage(Stage::Dashboard);
    return;
  }
  if (characters(confirmCode_) < 6) {
    setBanner(QStringLiteral("Enter the 6-digit code your authenticator shows."));
    return;
  }
  std::string name = utf8(computerName_.trimmed());
  DeviceResult device = *pendingDevice_;
  std::string accountId = accountId_;
  setStage(Stage::Working, CONFIRMING);
  QPointer<AppModel> self(this);
  RegistrationService::verifyCode(
      token_, accountId, device.deviceId, utf8(confirmCode_),
      [self, device, accountId, name](bool confirmed) {
        onMain(self, [confirmed, device, accountId, name](AppModel& model) {
          model.handleVerified(confirmed, device, accountId, name);
        });
      });
}

void AppModel::handleVerified(bool confirmed, const DeviceResult& device,
                              const std::string& accountId, const std::string& name) {
  setConfirmCode(QString());
  if (!confirmed) {
    setBanner(QStringLiteral("That code didn't match. Make sure you scanned THIS computer's QR."));
    setStage(Stage::ShowQR);
    return;
  }
  bool written = RegistrationService::writeFabric(FabricConfigLoader::defaultConfigDir(), device,
                                                  accountId, name);
  if (!written) {
    setBanner(QStringLiteral(
        "Registered, but saving the config failed. Remove this device on the website and try "
        "again."));
    setStage(Stage::Dashboard);
    return;
  }
  host_->startAgent();
  token_.clear();
  pendingDevice_.reset();
  if (!pendingOtpauth_.isEmpty()) {
    pendingOtpauth_.clear();
    emit pendingOtpauthChanged();
  }
  setBanner(QStringLiteral("This Mac is registered and online."));
  refresh();
  setStage(Stage::Dashboard);
}

void AppModel::cancelFlow() {
  setBanner(std::nullopt);
  setPassword(QString());
  setTwoFactorCode(QString());
  setConfirmCode(QString());
  setStage(Stage::Dashboard);
}

// --- maintenance --------------------------------------------------------------------------

void AppModel::restartAgent() {
  QPointer<AppModel> self(this);
  auto host = host_;
  backgroundPool().start(
      [self, host] {
        host->startAgent();
        onMain(self, [](AppModel& model) { model.refresh(); });
      },
      USER_INITIATED);
}

void AppModel::update() {
  setStage(Stage::Working, DOWNLOADING);
  QPointer<AppModel> self(this);
  host_->downloadAndRunInstaller([self](bool ok, std::string message) {
    onMain(self, [ok, message = std::move(message)](AppModel& model) {
      model.handleUpdate(ok, message);
    });
  });
}

void AppModel::handleUpdate(bool ok, const std::string& message) {
  setBanner(ok ? QStringLiteral("The installer opened — follow its prompts to finish updating.")
               : QStringLiteral("Update failed: ") + QString::fromStdString(message));
  setStage(Stage::Dashboard);
}

void AppModel::uninstall() {
  setStage(Stage::Working, REMOVING);
  QPointer<AppModel> self(this);
  auto host = host_;
  backgroundPool().start(
      [self, host] {
        bool ok = host->uninstall(false);
        onMain(self, [ok](AppModel& model) { model.handleUninstalled(ok); });
      },
      USER_INITIATED);
}

void AppModel::handleUninstalled(bool ok) {
  setConfirmingUninstall(false);
  setBanner(ok ? QStringLiteral("Removed. This Mac is unregistered and clean.")
               : QStringLiteral("Uninstall was cancelled or failed."));
  refresh();
  setStage(Stage::Dashboard);
}

}  // namespace cvl
