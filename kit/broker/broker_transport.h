#pragma once
// The one way the enrolment talks to the broker: an HTTP POST of a JSON object, answered by
// a status and (perhaps) a JSON object. `post` completes on the shared HTTP client's worker
// thread (at once on the caller's thread when the URL is unusable); `postAndWait` blocks its
// caller until the answer is there or the wait runs out. Any thread may call either.

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kit/broker/broker_answer.h"

namespace cvl::BrokerTransport {

inline constexpr std::chrono::milliseconds REQUEST_TIMEOUT{25'000};
inline constexpr std::chrono::milliseconds BLOCKING_WAIT{30'000};

// Headers: "Content-Type: application/json", and "Authorization: Bearer <token>" when a
// token is given. The body is `body` as compact JSON; a body that cannot be serialised (a
// string that is not UTF-8) is left out. Every transport failure is status 0 without body.
void post(const std::string& url, const nlohmann::json& body,
          const std::optional<std::string>& bearer, std::function<void(BrokerAnswer)> completion,
          std::chrono::milliseconds timeout = REQUEST_TIMEOUT);

// As `post`, waiting at most `wait`. A wait that runs out yields status 0 without body; the
// answer that may still come later is dropped.
BrokerAnswer postAndWait(const std::string& url, const nlohmann::json& body,
                         const std::optional<std::string>& bearer,
                         std::chrono::milliseconds wait = BLOCKING_WAIT,
                         std::chrono::milliseconds timeout = REQUEST_TIMEOUT);

}  // namespace cvl::BrokerTransport
