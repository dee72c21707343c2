#pragma once
// The command-line enrolment (`cvlhost register`): a blocking dialogue on standard input and
// output that signs the owner in with the account broker, registers this computer, shows the
// device authenticator's QR page, confirms one code and writes fabric.json. Each answer can
// come from the environment instead (CVL_EMAIL, CVL_PASSWORD, CVL_DEVICE_NAME, CVL_QR_NO_OPEN),
// and CVL_BROKER_URL / CVL_RELAY_URL replace the built-in addresses. Runs on the calling
// thread and blocks it; one dialogue per process.

#include <string>

namespace cvl::Registration {

// `installDir` is the configuration folder, already created by the caller. True when the
// computer is registered afterwards, also when it already was.
bool run(const std::string& installDir);

}  // namespace cvl::Registration
