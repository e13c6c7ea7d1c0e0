#include "platform/URLSession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/CurlSession.h"
#include "platform/Dispatch.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::HTTPURLResponse;
using platform::URLRequest;
using platform::Semaphore;
using platform::URLSession;

namespace {

struct Outcome {
    std::optional<std::string> data;
    std::optional<HTTPURLResponse> response;
    std::optional<platform::Error> error;
    std::thread::id thread;
    std::chrono::steady_clock::duration elapsed{};
};

// Runs one task and waits for its completion, failing the test if it never comes.
Outcome fetch(URLSession& session, URLRequest request, std::chrono::milliseconds limit = 10s) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    const auto start = std::chrono::steady_clock::now();
    session
        .dataTask(std::move(request),
                  [promise, calls, start](auto data, auto response, auto error) {
                      if (++*calls > 1) ADD_FAILURE() << "completion called twice";
                      else
                          promise->set_value({data, response, error, std::this_thread::get_id(),
                                              std::chrono::steady_clock::now() - start});
                  })
        ->resume();
    auto future = promise->get_future();
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "no completion";
        return {};
    }
    return future.get();
}

URLRequest get(const std::string& url) {
    URLRequest request;
    request.url = url;
    return request;
}

// A loopback port with nothing listening on it.
int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string headerOf(const httplib::Headers& headers, const std::string& name) {
    auto found = headers.find(name);
    return found == headers.end() ? "<absent>" : found->second;
}

struct Recorded {
    std::mutex mutex;
    httplib::Headers headers;
    std::string method;
    std::string body;
};

}  // namespace

// The same cases for both engines: the loopback client, which URL sessions use for plain
// http to this machine, and curl, which they use for everything else.
class URLSessionEngines : public ::testing::TestWithParam<std::string> {
protected:
    std::shared_ptr<URLSession> make(platform::URLSessionConfiguration configuration,
                                      std::shared_ptr<platform::DispatchQueue> queue = nullptr) {
        return GetParam() == "curl" ? platform::makeCurlSession(std::move(configuration), std::move(queue))
                                    : URLSession::make(std::move(configuration), std::move(queue));
    }
    URLSession& shared() {
        if (!shared_) shared_ = make(platform::URLSessionConfiguration::defaultConfiguration());
        return *shared_;
    }

private:
    std::shared_ptr<URLSession> shared_;
};

INSTANTIATE_TEST_SUITE_P(, URLSessionEngines, ::testing::Values("loopback", "curl"),
                         [](const auto& info) { return info.param; });

TEST_P(URLSessionEngines, StatusesBodiesAndHeadersAsGiven) {
    testsupport::LocalHttpServer server;
    server.server().set_keep_alive_timeout(1);  // idle kept-alive connections delay stop()
    Recorded recorded;
    server.server().Get("/ok", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("X-Reply", "yes");
        response.set_content("hello", "text/plain");
    });
    server.server().Get("/unavailable", [](const httplib::Request&, httplib::Response& response) {
        response.status = 503;
        response.set_content("busy", "text/plain");
    });
    const auto record = [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(recorded.mutex);
        recorded.headers = request.headers;
        recorded.method = request.method;
        recorded.body = request.body;
        response.set_content("recorded", "text/plain");
    };
    server.server().Get("/record", record);
    server.server().Post("/record", record);
    server.server().Put("/record", record);
    server.server().Delete("/record", record);
    server.start();

    auto ok = fetch(shared(), get(server.baseURL() + "/ok"));
    ASSERT_FALSE(ok.error);
    ASSERT_TRUE(ok.response);
    EXPECT_EQ(ok.response->statusCode, 200);
    EXPECT_EQ(ok.data, "hello");
    EXPECT_EQ(ok.response->url, server.baseURL() + "/ok");
    EXPECT_EQ(ok.response->value("x-REPLY"), "yes");
    EXPECT_EQ(ok.response->value("Content-Type"), "text/plain");
    EXPECT_FALSE(ok.response->value("X-Absent"));
    EXPECT_NE(ok.thread, std::this_thread::get_id());

    auto unavailable = fetch(shared(), get(server.baseURL() + "/unavailable"));
    ASSERT_FALSE(unavailable.error);
    EXPECT_EQ(unavailable.response->statusCode, 503);
    EXPECT_EQ(unavailable.data, "busy");

    // Headers set case-insensitively, sent once and as given.
    URLRequest withHeaders = get(server.baseURL() + "/record");
    withHeaders.setValue("first", "X-Token");
    withHeaders.setValue("second", "x-token");
    withHeaders.setValue("Bearer abc", "Authorization");
    EXPECT_EQ(withHeaders.value("X-TOKEN"), "second");
    EXPECT_EQ(withHeaders.headers.size(), 2u);
    ASSERT_FALSE(fetch(shared(), withHeaders).error);
    {
        std::lock_guard lock(recorded.mutex);
        EXPECT_EQ(recorded.method, "GET");
        EXPECT_EQ(recorded.headers.count("X-Token"), 1u);
        EXPECT_EQ(headerOf(recorded.headers, "X-Token"), "second");
        EXPECT_EQ(headerOf(recorded.headers, "Authorization"), "Bearer abc");
    }

    // A large POST body arrives whole, without Expect: 100-continue and with exactly
    // the content type given.
    URLRequest post = get(server.baseURL() + "/record");
    post.httpMethod = "POST";
    post.setValue("application/json", "Content-Type");
    std::string body = "{\"k\":\"";
    body += std::string(2 * 1024 * 1024, 'x');
    body += std::string("\0\"}", 3);
    post.httpBody = body;
    auto posted = fetch(shared(), post);
    ASSERT_FALSE(posted.error);
    EXPECT_EQ(posted.response->statusCode, 200);
    {
        std::lock_guard lock(recorded.mutex);
        EXPECT_EQ(recorded.method, "POST");
        EXPECT_EQ(recorded.body, body);
        EXPECT_EQ(headerOf(recorded.headers, "Content-Type"), "application/json");
        EXPECT_EQ(recorded.headers.count("Expect"), 0u);
    }

    // No content type of our own when none was given; other methods keep their name.
    URLRequest put = get(server.baseURL() + "/record");
    put.httpMethod = "PUT";
    put.httpBody = "raw";
    ASSERT_FALSE(fetch(shared(), put).error);
    {
        std::lock_guard lock(recorded.mutex);
        EXPECT_EQ(recorded.method, "PUT");
        EXPECT_EQ(recorded.body, "raw");
        EXPECT_EQ(recorded.headers.count("Content-Type"), 0u);
    }
    URLRequest remove = get(server.baseURL() + "/record");
    remove.httpMethod = "DELETE";
    ASSERT_FALSE(fetch(shared(), remove).error);
    std::lock_guard lock(recorded.mutex);
    EXPECT_EQ(recorded.method, "DELETE");
}

TEST_P(URLSessionEngines, RequestTimeoutThenSessionTimeout) {
    testsupport::LocalHttpServer server;
    server.server().set_keep_alive_timeout(1);  // idle kept-alive connections delay stop()
    server.server().Get("/slow", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(1200ms);
        response.set_content("late", "text/plain");
    });
    server.start();

    URLRequest request = get(server.baseURL() + "/slow");
    request.timeoutInterval = 0.3;
    auto timedOut = fetch(shared(), request);
    ASSERT_TRUE(timedOut.error);
    EXPECT_EQ(timedOut.error->domain, platform::URLErrorDomain);
    EXPECT_EQ(timedOut.error->code, platform::URLErrorTimedOut);
    EXPECT_EQ(timedOut.error->description, "The request timed out.");
    EXPECT_FALSE(timedOut.response);
    EXPECT_GE(timedOut.elapsed, 250ms);
    EXPECT_LT(timedOut.elapsed, 1100ms);

    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.timeoutIntervalForRequest = 0.3;
    auto session = make(configuration);
    EXPECT_TRUE(session->configuration().isEphemeral);
    auto sessionLimited = fetch(*session, get(server.baseURL() + "/slow"));
    ASSERT_TRUE(sessionLimited.error);
    EXPECT_EQ(sessionLimited.error->code, platform::URLErrorTimedOut);
    EXPECT_LT(sessionLimited.elapsed, 1100ms);

    // The request's own limit wins over the session's.
    request.timeoutInterval = 5;
    auto patient = fetch(*session, request);
    ASSERT_FALSE(patient.error);
    EXPECT_EQ(patient.data, "late");
}

TEST_P(URLSessionEngines, ConnectionFailuresBadURLsAndNoProxy) {
    auto refused = fetch(shared(), get("http://127.0.0.1:" + std::to_string(closedPort()) + "/api/health"));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, platform::URLErrorCannotConnectToHost);
    EXPECT_EQ(refused.error->description, "Could not connect to the server.");
    EXPECT_FALSE(refused.data);

    for (const std::string url : {"ftp://127.0.0.1/x", "not a url", "", "file:///etc/passwd"}) {
        auto bad = fetch(shared(), get(url));
        ASSERT_TRUE(bad.error) << url;
        EXPECT_EQ(bad.error->code, platform::URLErrorBadURL) << url;
        EXPECT_EQ(bad.error->description, "unsupported URL");
    }

    // A proxy in the environment is never used: the loopback server answers directly.
    testsupport::LocalHttpServer server;
    server.server().set_keep_alive_timeout(1);  // idle kept-alive connections delay stop()
    server.server().Get("/ok", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("direct", "text/plain");
    });
    server.start();
    const std::string proxy = "http://127.0.0.1:" + std::to_string(closedPort());
    testsupport::ScopedEnvironment http("http_proxy", proxy.c_str());
    testsupport::ScopedEnvironment httpUpper("HTTP_PROXY", proxy.c_str());
    testsupport::ScopedEnvironment all("ALL_PROXY", proxy.c_str());
    testsupport::ScopedEnvironment none("NO_PROXY", nullptr);
    testsupport::ScopedEnvironment noneLower("no_proxy", nullptr);
    auto direct = fetch(*make(platform::URLSessionConfiguration::defaultConfiguration()),
                        get(server.baseURL() + "/ok"));
    ASSERT_FALSE(direct.error) << direct.error->description;
    EXPECT_EQ(direct.data, "direct");
}

TEST_P(URLSessionEngines, CancellationCompletesOnceWithCancelled) {
    testsupport::LocalHttpServer server;
    server.server().set_keep_alive_timeout(1);  // idle kept-alive connections delay stop()
    std::atomic<int> entered{0};
    server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
        ++entered;
        std::this_thread::sleep_for(1500ms);
        response.set_content("late", "text/plain");
    });
    server.start();

    struct Counter {
        std::atomic<int> calls{0};
        std::promise<platform::Error> first;
    };
    const auto counting = [](std::shared_ptr<Counter> counter) {
        return [counter](auto, auto, std::optional<platform::Error> error) {
            if (++counter->calls == 1) counter->first.set_value(error.value_or(platform::Error{}));
        };
    };
    const auto waitCancelled = [](Counter& counter) {
        auto future = counter.first.get_future();
        if (future.wait_for(2s) != std::future_status::ready) return false;
        auto error = future.get();
        return error.domain == platform::URLErrorDomain && error.code == platform::URLErrorCancelled &&
               error.description == "cancelled";
    };

    auto session = make(platform::URLSessionConfiguration::ephemeral());
    auto inFlight = std::make_shared<Counter>();
    session->dataTask(get(server.baseURL() + "/slow"), counting(inFlight))->resume();
    ASSERT_TRUE(testsupport::eventually([&] { return entered == 1; }, 5s));
    const auto start = std::chrono::steady_clock::now();
    session->invalidateAndCancel();
    EXPECT_TRUE(waitCancelled(*inFlight));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);

    // A task made after the invalidation is cancelled at resume, on the session thread.
    auto late = std::make_shared<Counter>();
    session->dataTask(get(server.baseURL() + "/slow"), counting(late))->resume();
    EXPECT_TRUE(waitCancelled(*late));

    // cancel() on a running task, and on one never resumed (a later resume adds nothing).
    auto other = make(platform::URLSessionConfiguration::ephemeral());
    auto running = std::make_shared<Counter>();
    auto task = other->dataTask(get(server.baseURL() + "/slow"), counting(running));
    task->resume();
    ASSERT_TRUE(testsupport::eventually([&] { return entered == 2; }, 5s));
    task->cancel();
    EXPECT_TRUE(waitCancelled(*running));
    auto suspended = std::make_shared<Counter>();
    auto never = other->dataTask(get(server.baseURL() + "/slow"), counting(suspended));
    never->cancel();
    EXPECT_TRUE(waitCancelled(*suspended));
    never->resume();

    // Destroying a session with a transfer in flight cancels it and joins the thread.
    auto dropped = std::make_shared<Counter>();
    other->dataTask(get(server.baseURL() + "/slow"), counting(dropped))->resume();
    ASSERT_TRUE(testsupport::eventually([&] { return entered == 3; }, 5s));
    const auto destroyStart = std::chrono::steady_clock::now();
    other.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - destroyStart, 1000ms);
    EXPECT_TRUE(waitCancelled(*dropped));

    // A session whose last reference goes away inside its own completion.
    auto selfOwned = make(platform::URLSessionConfiguration::ephemeral());
    std::promise<void> done;
    auto* raw = selfOwned.get();
    auto holder = std::make_shared<std::shared_ptr<URLSession>>(std::move(selfOwned));
    raw->dataTask(get("http://127.0.0.1:" + std::to_string(closedPort()) + "/"), [holder, &done](auto, auto, auto) {
           holder->reset();
           done.set_value();
       })->resume();
    EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);

    std::this_thread::sleep_for(100ms);
    for (auto* counter : {inFlight.get(), late.get(), running.get(), suspended.get(), dropped.get()})
        EXPECT_EQ(counter->calls, 1);
}

TEST_P(URLSessionEngines, ManyConcurrentTasksEachCompleteOnce) {
    testsupport::LocalHttpServer server;
    server.server().set_keep_alive_timeout(1);  // idle kept-alive connections delay stop()
    server.server().Get("/item", [](const httplib::Request& request, httplib::Response& response) {
        std::this_thread::sleep_for(20ms);
        response.set_content(request.get_param_value("i"), "text/plain");
    });
    server.start();

    constexpr int count = 40;
    std::mutex mutex;
    std::vector<int> calls(count, 0);
    std::vector<std::string> bodies(count);
    std::atomic<int> finished{0};
    for (int i = 0; i < count; ++i) {
        shared()
            .dataTask(get(server.baseURL() + "/item?i=" + std::to_string(i)),
                      [&, i](std::optional<std::string> data, auto response, auto error) {
                          std::lock_guard lock(mutex);
                          ++calls[i];
                          bodies[i] = error ? "error: " + error->description
                                            : std::to_string(response->statusCode) + " " + data.value_or("");
                          ++finished;
                      })
            ->resume();
    }
    ASSERT_TRUE(testsupport::eventually([&] { return finished >= count; }, 20s));
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(mutex);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(calls[i], 1) << i;
        EXPECT_EQ(bodies[i], "200 " + std::to_string(i));
    }
}

using testsupport::threadCount;

// A session on a serial delegate queue has no thread of its own: transfers and
// completions run on the queue, with the same outcomes as a threaded session (answers,
// time-outs, refused connections, cancellation, invalidation, many tasks at once).
TEST_P(URLSessionEngines, OnADelegateQueueEverythingRunsOnTheQueue) {
    testsupport::LocalHttpServer server;
    server.server().set_keep_alive_timeout(1);  // idle kept-alive connections delay stop()
    std::mutex portsMutex;
    std::set<int> clientPorts;
    server.server().Post("/echo", [&](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(portsMutex);
            clientPorts.insert(request.remote_port);
        }
        response.status = 201;
        response.set_content(request.body, "application/json");
    });
    server.server().Get("/slow", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(1200ms);
        response.set_content("late", "text/plain");
    });
    server.start();

    auto queue = platform::DispatchQueue::serial("Tidemark.Tests.Session");
    queue->sync([] {});  // its worker is running
    // The server's own pool starts while it serves its first request.
    ASSERT_FALSE(fetch(shared(), get(server.baseURL() + "/slow")).error);
    const size_t threadsBefore = threadCount();
    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.timeoutIntervalForRequest = 0.3;
    auto session = make(configuration, queue);
    EXPECT_EQ(threadCount(), threadsBefore) << "no session thread";

    std::atomic<int> offQueue{0};
    auto onQueue = [&](URLRequest request) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        const auto start = std::chrono::steady_clock::now();
        queue->async([&, request, promise, start] {
            session
                ->dataTask(request,
                           [&, promise, start](auto data, auto response, auto error) {
                               if (!queue->isCurrent()) ++offQueue;
                               promise->set_value({data, response, error, std::this_thread::get_id(),
                                                   std::chrono::steady_clock::now() - start});
                           })
                ->resume();
        });
        return promise->get_future();
    };
    auto wait = [](std::future<Outcome> future) {
        if (future.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "no completion";
            return Outcome{};
        }
        return future.get();
    };

    URLRequest post = get(server.baseURL() + "/echo");
    post.httpMethod = "POST";
    post.httpBody = R"({"samples":[]})";
    post.setValue("application/json", "Content-Type");
    for (int round = 0; round < 3; ++round) {  // the kept connection serves the next ones
        auto echoed = wait(onQueue(post));
        ASSERT_FALSE(echoed.error) << echoed.error->description;
        EXPECT_EQ(echoed.response->statusCode, 201);
        EXPECT_EQ(echoed.data, R"({"samples":[]})");
    }
    {
        std::lock_guard lock(portsMutex);
        EXPECT_EQ(clientPorts.size(), 1u) << "each request opened a connection of its own";
    }

    auto timedOut = wait(onQueue(get(server.baseURL() + "/slow")));
    ASSERT_TRUE(timedOut.error);
    EXPECT_EQ(timedOut.error->code, platform::URLErrorTimedOut);
    EXPECT_GE(timedOut.elapsed, 250ms);
    EXPECT_LT(timedOut.elapsed, 1100ms);

    auto refused = wait(onQueue(get("http://127.0.0.1:" + std::to_string(closedPort()) + "/")));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, platform::URLErrorCannotConnectToHost);

    std::vector<std::future<Outcome>> many;
    for (int index = 0; index < 20; ++index) many.push_back(onQueue(post));
    for (auto& future : many) {
        auto outcome = wait(std::move(future));
        EXPECT_FALSE(outcome.error);
    }

    // Invalidation cancels what is in flight (a slow request, with a long limit) and
    // refuses what comes after.
    URLRequest patient = get(server.baseURL() + "/slow");
    patient.timeoutInterval = 5;
    auto inFlight = onQueue(patient);
    std::this_thread::sleep_for(100ms);
    session->invalidateAndCancel();
    auto cancelled = wait(std::move(inFlight));
    ASSERT_TRUE(cancelled.error);
    EXPECT_EQ(cancelled.error->code, platform::URLErrorCancelled);
    EXPECT_LT(cancelled.elapsed, 1000ms);
    auto refusedAfter = wait(onQueue(post));
    ASSERT_TRUE(refusedAfter.error);
    EXPECT_EQ(refusedAfter.error->code, platform::URLErrorCancelled);

    EXPECT_EQ(offQueue.load(), 0) << "every completion ran on the delegate queue";
    EXPECT_EQ(threadCount(), threadsBefore);

    // Released while a transfer runs, the session lets go of its sockets; the queue
    // carries on with other work.
    auto second = make(configuration, queue);
    std::atomic<bool> completed{false};
    Semaphore started;
    queue->async([&] {
        second->dataTask(patient, [&](auto, auto, auto) { completed = true; })->resume();
        started.signal();
    });
    // The queue is done with our pointer before we drop it.
    ASSERT_TRUE(started.waitFor(5s));
    std::this_thread::sleep_for(100ms);
    second.reset();
    EXPECT_TRUE(testsupport::eventually([&] { return completed.load(); }, 5s)) << "cancelled on release";
    Semaphore alive;
    queue->async([&] { alive.signal(); });
    EXPECT_TRUE(alive.waitFor(5s));
}

// Asked to, a queue-driven session leaves a reply in the socket until the queue wakes for
// its own work, and completes it before a deadline that woke the queue runs. A refused
// connection and the request's own time limit still wake it.
TEST(URLSession, RepliesCanWaitForTheQueuesNextWake) {
    testsupport::LocalHttpServer server;
    server.server().set_keep_alive_timeout(1);
    server.server().Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
        // Not so fast that the reply is already there when the request has been sent.
        std::this_thread::sleep_for(20ms);
        response.set_content(request.body, "text/plain");
    });
    server.server().Get("/after", [](const httplib::Request& request, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(request.get_param_value("ms"))));
        response.set_content("late", "text/plain");
    });
    server.start();

    auto queue = platform::DispatchQueue::serial("Tidemark.Tests.WaitingReplies");
    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.timeoutIntervalForRequest = 5;
    configuration.responsesWaitForQueueWake = true;
    auto session = URLSession::make(configuration, queue);

    testsupport::EventOrder order;
    auto note = [&](std::string what) { order.note(std::move(what)); };
    auto taken = [&] { return order.events(); };
    auto clear = [&] { order.clear(); };
    auto start = [&](URLRequest request, std::string name) {
        queue->async([&, request = std::move(request), name = std::move(name)] {
            session
                ->dataTask(request,
                           [&, name](auto data, auto, auto error) {
                               note(name + (error ? " failed " + std::to_string(error->code)
                                                  : " " + data.value_or("")));
                           })
                ->resume();
        });
    };

    URLRequest post = get(server.baseURL() + "/echo");
    post.httpMethod = "POST";
    for (const std::string round : {"first", "kept one", "kept two"}) {  // a new connection, then the kept one
        post.httpBody = round;
        clear();
        start(post, "reply");
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(taken().empty()) << "the reply woke the queue";
        Semaphore ticked;
        queue->asyncAfter(1ms, [&] {
            note("tick");
            ticked.signal();
        });
        ASSERT_TRUE(ticked.waitFor(5s));
        EXPECT_EQ(taken(), (std::vector<std::string>{"reply " + round, "tick"}));
    }

    clear();
    start(get("http://127.0.0.1:" + std::to_string(closedPort()) + "/"), "refused");
    EXPECT_TRUE(testsupport::eventually([&] { return !taken().empty(); }, 3s)) << "a failed connect waited";
    const std::string timedOut = std::to_string(platform::URLErrorTimedOut);
    const std::string refused = std::to_string(platform::URLErrorCannotConnectToHost);
    EXPECT_EQ(taken(), (std::vector<std::string>{"refused failed " + refused}));

    // Replies that come before the time limit are read before it, however close to it
    // they come; one that comes after it is a time-out.
    for (const auto& [ms, outcome] : std::vector<std::pair<int, std::string>>{
             {1200, "in time late"}, {1920, "in time late"}, {2600, "in time failed " + timedOut}}) {
        SCOPED_TRACE(ms);
        clear();
        URLRequest slow = get(server.baseURL() + "/after?ms=" + std::to_string(ms));
        slow.timeoutInterval = 2;
        const auto began = std::chrono::steady_clock::now();
        start(slow, "in time");
        EXPECT_TRUE(testsupport::eventually([&] { return !taken().empty(); }, 5s)) << "the time limit waited";
        EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms);
        EXPECT_EQ(taken(), std::vector<std::string>{outcome});
    }
    session->invalidateAndCancel();
    queue->sync([] {});
}

// libcurl and the libraries under it are opened by the first request that leaves the
// loopback client's ground, not at start-up and not for plain http to this machine.
TEST(URLSession, LibcurlIsMappedOnlyForRequestsOffThisMachine) {
    auto run = testsupport::runProgram({testsupport::testBinDirectory() + "/CurlLoadHelper", "mapping"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "before: unmapped\nafter http://127.0.0.1:9/: unmapped\nafter https://127.0.0.1:9/: mapped\n");
}

// Where libcurl does not load, a session still completes every task once, asynchronously
// on its thread or queue, with the loader's reason; a cancel still wins as usual.
TEST(URLSession, WithoutLibcurlEveryTaskFailsOnceWithTheReason) {
    testsupport::TemporaryDirectory broken;
    std::ofstream(broken.path() + "/libcurl.so.4").close();  // empty: not a library at all
    const std::string partial = testsupport::testBinDirectory() + "/partial-libcurl";
    ASSERT_TRUE(std::filesystem::exists(partial + "/libcurl.so.4"));

    const std::string failed = "NSURLErrorDomain -1 libcurl could not be loaded: ";
    const std::string cancelled = "NSURLErrorDomain -999 cancelled";
    for (const auto& [directory, reason] : std::vector<std::pair<std::string, std::string>>{
             {broken.path(), broken.path() + "/libcurl.so.4: "}, {partial, "undefined symbol: curl_"}}) {
        SCOPED_TRACE(directory);
        auto run = testsupport::runProgram({testsupport::testBinDirectory() + "/CurlLoadHelper", "tasks"},
                                           std::map<std::string, std::string>{{"LD_LIBRARY_PATH", directory}});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        std::istringstream lines(run.out);
        std::vector<std::string> seen;
        for (std::string line; std::getline(lines, line);) seen.push_back(line);
        ASSERT_EQ(seen.size(), 14u) << run.out;
        auto expectLine = [&](const std::string& line, const std::string& head, const std::string& error) {
            EXPECT_EQ(line.rfind(head + " error=" + error, 0), 0u) << line;
        };
        for (int i = 0; i < 2; ++i) {
            expectLine(seen[i], std::string("thread ") + (i ? "second" : "first") + " calls=1 where=session-thread",
                       failed);
            EXPECT_NE(seen[i].find(reason), std::string::npos) << seen[i];
        }
        expectLine(seen[2], "thread cancelled calls=1 where=session-thread", cancelled);
        expectLine(seen[3], "thread invalidated calls=1 where=session-thread", cancelled);
        expectLine(seen[4], "queue first calls=1 where=queue", failed);
        EXPECT_NE(seen[4].find(reason), std::string::npos) << seen[4];
        for (int i = 5; i < 13; ++i) {
            EXPECT_EQ(seen[i].rfind("queue raced" + std::to_string(i - 5) + " calls=1 where=queue error=", 0), 0u)
                << seen[i];
            EXPECT_TRUE(seen[i].find(failed) != std::string::npos || seen[i].find(cancelled) != std::string::npos)
                << seen[i];
        }
        EXPECT_EQ(seen[13], "mapped: no");
    }
}
