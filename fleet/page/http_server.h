// The web page's HTTP server on libmicrohttpd: read-only routes (GET and HEAD only; other
// methods get 405, unknown paths 404), one Server-Sent Events route fed by an EventFeed, an
// optional access token (bearer header, or ?token= once and an HttpOnly cookie after), a Host
// header check against DNS rebinding, and bounds on connections (in all and per client address),
// live streams, request size and the time a request's header may take. libmicrohttpd runs its
// own threads (one per connection, capped by the connection limit); handlers run on them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "connection_watch.h"
#include "host_names.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace fleet_page {

class EventFeed;

struct HttpSettings {
    std::string address = "127.0.0.1";  // numeric IPv4 or IPv6
    uint16_t port = 0;                  // 0: any free port (see HttpServer::port)
    std::string token;                  // empty: no token asked for
    // Host names served besides the listen address and localhost (see HostNames::set).
    std::vector<std::string> host_names;
    unsigned max_connections = 64;
    unsigned max_per_address = 16;         // connections from one client address
    unsigned max_streams = 16;             // live feeds open at once; a quarter from one address
    size_t max_request_bytes = 16 * 1024;  // request line and headers
    unsigned idle_timeout_seconds = 30;
    // The request line and headers in full, from the connection's start or the previous
    // answer's end; a live feed's next piece of data taken by the client.
    int header_deadline_ms = 10000;
    int stall_ms = 10000;
    int keepalive_ms = 15000;  // comment sent on an idle live feed
};

struct HttpRequest {
    std::string path;
    std::map<std::string, std::string> query;  // first value of each argument
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    bool cacheable = false;  // static files may be cached; data never is
    // Sent instead of body when set: one text shared by every answer that carries it.
    std::shared_ptr<const std::string> shared_body = nullptr;
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// "ADDR:PORT", "[V6ADDR]:PORT" or "PORT" (127.0.0.1); false and error when malformed.
bool parse_listen_address(const std::string& text, std::string& address, uint16_t& port,
                          std::string& error);

class HttpServer {
  public:
    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Routes are set before start and not changed while it runs.
    void route(const std::string& path, HttpHandler handler);
    void event_route(const std::string& path, EventFeed* feed);

    bool start(const HttpSettings& settings, std::string& error);
    // Closes the live feeds' waits (the feed must be closed first) and joins every thread.
    void stop();
    uint16_t port() const { return port_; }

    // Connections shut down for a header or a live feed past its deadline so far.
    uint64_t deadlines_missed() const { return watch_.cut(); }
    // Answers sent so far by status code, ascending; codes not sent yet are left out. Requests
    // libmicrohttpd refuses itself (a header too large) are not among them.
    std::vector<std::pair<int, uint64_t>> requests_by_code() const;

    // libmicrohttpd's callbacks land here (handle: MHD_YES or MHD_NO).
    int handle(MHD_Connection* connection, const std::string& url, const std::string& method,
               const std::string& version);
    void connection_started(MHD_Connection* connection, void** context);
    void connection_closed(void** context);
    void request_done(MHD_Connection* connection);
    void stream_closed(const std::string& address);

  private:
    bool authorized(MHD_Connection* connection, bool& set_cookie);
    int send(MHD_Connection* connection, HttpResponse response, bool set_cookie);
    int redirect(MHD_Connection* connection, const std::string& url);
    int open_stream(MHD_Connection* connection, EventFeed* feed, bool set_cookie);
    void count(int status);

    HttpSettings settings_;
    HostNames hosts_;
    std::map<std::string, HttpHandler> routes_;
    std::map<std::string, EventFeed*> event_routes_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
    ConnectionWatch watch_;
    std::mutex streams_mutex_;
    unsigned streams_ = 0;
    std::map<std::string, unsigned> streams_by_address_;
    static constexpr int kFirstCode = 100, kLastCode = 599;
    std::array<std::atomic<uint64_t>, kLastCode - kFirstCode + 1> answered_{};
};

}  // namespace fleet_page
