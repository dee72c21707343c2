// HttpClient on libcurl: one multi handle driven by the client's worker thread. Requests are
// queued by any thread and picked up by the worker, which also runs every completion.
#include <curl/curl.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "kit/broker/http_client.h"
#include "kit/diagnostics/log.h"

namespace cvl {

namespace {

// How long the worker sleeps without network activity; a new request wakes it at once.
constexpr int POLL_TIMEOUT_MS = 1000;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool hasLineBreakOrNul(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

void complete(const HttpClient::Completion& completion, HttpResponse response) {
  if (!completion) return;
  // A completion that throws is a fault of its own; it must not take the worker (and every
  // later request) down with it, and it is said.
  try {
    completion(std::move(response));
  } catch (const std::exception& e) {
    Log::line("[http] a completion threw:", e.what());
  } catch (...) {
    Log::line("[http] a completion threw");
  }
}

// One request in flight; owned by the worker from the moment it is queued.
struct Transfer {
  HttpRequest request;
  HttpClient::Completion completion;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string received;
  size_t receivedBytes = 0;
  bool tooLarge = false;
  int file = -1;  // the open saveTo file, when the answer goes to disk
  std::string fileError;
  char curlError[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headers) curl_slist_free_all(headers);
    if (file >= 0) ::close(file);
  }
};

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

size_t onData(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (transfer->receivedBytes + n > transfer->request.maxAnswerBytes) {
    transfer->tooLarge = true;
    return 0;  // makes curl abort the transfer with CURLE_WRITE_ERROR
  }
  transfer->receivedBytes += n;
  if (transfer->file >= 0) {
    if (!writeAll(transfer->file, data, n)) {
      transfer->fileError = "cannot write " + transfer->request.saveTo + ": " + strerror(errno);
      return 0;
    }
    return n;
  }
  transfer->received.append(data, n);
  return n;
}

}  // namespace

struct HttpClient::Impl {
  std::mutex mutex;
  std::deque<std::unique_ptr<Transfer>> queued;
  bool stopping = false;
  CURLM* multi = nullptr;
  std::thread worker;

  Impl() {
    initCurlOnce();
    multi = curl_multi_init();
    worker = std::thread([this] { run(); });
  }

  ~Impl() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    curl_multi_wakeup(multi);
    worker.join();
    curl_multi_cleanup(multi);
  }

  void enqueue(std::unique_ptr<Transfer> transfer) {
    {
      std::lock_guard lock(mutex);
      if (!stopping) {
        queued.push_back(std::move(transfer));
        transfer = nullptr;
      }
    }
    if (transfer) {
      complete(transfer->completion, {});
      return;
    }
    curl_multi_wakeup(multi);
  }

  // Sets up the easy handle; false when curl refuses the request.
  static bool prepare(Transfer& t) {
    t.easy = curl_easy_init();
    if (!t.easy) return false;
    const HttpRequest& r = t.request;
    CURL* e = t.easy;
    if (!r.saveTo.empty()) {
      t.file = ::open(r.saveTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (t.file < 0) {
        t.fileError = "cannot write " + r.saveTo + ": " + strerror(errno);
        return false;
      }
    }
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.curlError);
    bool ok = curl_easy_setopt(e, CURLOPT_URL, r.url.c_str()) == CURLE_OK;
    // Only HTTP(S), and no redirects: a request carrying a password or a bearer token goes to
    // exactly the address it was given.
    ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(r.timeout.count()));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    if (r.method == "POST") {
      curl_easy_setopt(e, CURLOPT_POST, 1L);
    } else if (r.method != "GET") {
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }
    if (r.body) {
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body->size()));
      curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, r.body->c_str());
    } else if (r.method == "POST") {
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
      curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, "");
    }
    for (const auto& [name, value] : r.headers) {
      std::string line = name + ": " + value;
      curl_slist* grown = curl_slist_append(t.headers, line.c_str());
      if (!grown) return false;
      t.headers = grown;
    }
    // The bodies are small; waiting for "100 Continue" would only add a round trip.
    if (curl_slist* grown = curl_slist_append(t.headers, "Expect:")) t.headers = grown;
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    return ok;
  }

  static HttpResponse failureOf(const Transfer& t) {
    HttpResponse response;
    response.error = t.fileError.empty() ? "the request could not be sent" : t.fileError;
    return response;
  }

  static HttpResponse responseOf(Transfer& t, CURLcode result) {
    HttpResponse response;
    if (t.tooLarge) {
      response.error = "the answer is too large";
      return response;
    }
    if (!t.fileError.empty()) {
      response.error = t.fileError;
      return response;
    }
    if (result != CURLE_OK) {
      response.error = t.curlError[0] ? t.curlError : curl_easy_strerror(result);
      return response;
    }
    long code = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
    response.status = code;
    response.body = std::move(t.received);
    return response;
  }

  void run() {
    std::vector<std::unique_ptr<Transfer>> active;
    for (;;) {
      std::deque<std::unique_ptr<Transfer>> fresh;
      bool stop;
      {
        std::lock_guard lock(mutex);
        fresh.swap(queued);
        stop = stopping;
      }
      if (stop) {
        for (auto& t : active) {
          curl_multi_remove_handle(multi, t->easy);
          complete(t->completion, {});
        }
        for (auto& t : fresh) complete(t->completion, {});
        return;
      }
      for (auto& t : fresh) {
        if (!prepare(*t) || curl_multi_add_handle(multi, t->easy) != CURLM_OK) {
          complete(t->completion, failureOf(*t));
          continue;
        }
        active.push_back(std::move(t));
      }

      int running = 0;
      curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        CURL* easy = msg->easy_handle;
        CURLcode result = msg->data.result;
        curl_multi_remove_handle(multi, easy);
        for (auto it = active.begin(); it != active.end(); ++it) {
          if ((*it)->easy != easy) continue;
          std::unique_ptr<Transfer> done = std::move(*it);
          active.erase(it);
          complete(done->completion, responseOf(*done, result));
          break;
        }
      }
      curl_multi_poll(multi, nullptr, 0, POLL_TIMEOUT_MS, nullptr);
    }
  }
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {}
HttpClient::~HttpClient() = default;

HttpClient& HttpClient::shared() {
  // Never destroyed: completions may still be due while static objects go away at exit.
  static HttpClient* client = new HttpClient();
  return *client;
}

bool HttpClient::isValidUrl(const std::string& url) {
  initCurlOnce();
  CURLU* parsed = curl_url();
  if (!parsed) return false;
  bool ok = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  if (ok) {
    char* host = nullptr;
    ok = curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
    curl_free(host);
  }
  curl_url_cleanup(parsed);
  return ok;
}

void HttpClient::send(HttpRequest request, Completion completion) {
  bool sendable = isValidUrl(request.url) && !hasLineBreakOrNul(request.url) &&
                  !hasLineBreakOrNul(request.method);
  for (const auto& [name, value] : request.headers) {
    if (hasLineBreakOrNul(name) || hasLineBreakOrNul(value)) sendable = false;
  }
  if (!sendable) {
    complete(completion, {});
    return;
  }
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->completion = std::move(completion);
  impl_->enqueue(std::move(transfer));
}

}  // namespace cvl
