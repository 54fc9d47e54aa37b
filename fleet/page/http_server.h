// The web page's HTTP server on libmicrohttpd: read-only routes (GET and HEAD only; other
// methods get 405, unknown paths 404), one Server-Sent Events route fed by an EventFeed, an
// optional access token (bearer header, or ?token= once and an HttpOnly cookie after), and
// bounds on connections, live streams and request size. libmicrohttpd runs its own threads (one
// per connection, capped by the connection limit); handlers run on them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

namespace fleet_page {

class EventFeed;

struct HttpSettings {
    std::string address = "127.0.0.1";  // numeric IPv4 or IPv6
    uint16_t port = 0;                  // 0: any free port (see HttpServer::port)
    std::string token;                  // empty: no token asked for
    unsigned max_connections = 64;
    unsigned max_streams = 16;             // live feeds open at once
    size_t max_request_bytes = 16 * 1024;  // request line and headers
    unsigned idle_timeout_seconds = 30;
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

    // libmicrohttpd's request callback lands here (MHD_YES or MHD_NO).
    int handle(MHD_Connection* connection, const std::string& url, const std::string& method);

  private:
    bool authorized(MHD_Connection* connection, bool& set_cookie);
    int send(MHD_Connection* connection, HttpResponse response, bool set_cookie);
    int open_stream(MHD_Connection* connection, EventFeed* feed, bool set_cookie);

    HttpSettings settings_;
    std::map<std::string, HttpHandler> routes_;
    std::map<std::string, EventFeed*> event_routes_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
    std::atomic<unsigned> streams_{0};
};

}  // namespace fleet_page
