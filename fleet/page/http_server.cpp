#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "event_feed.h"
#include "number_text.h"

namespace fleet_page {

namespace {

const char* const kCookie = "vorlask_token";
// Scripts only from the page's own files; dygraphs sets inline styles on its legend and axes.
const char* const kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

bool same_secret(const std::string& given, const std::string& secret) {
    // Every byte is compared whatever differs first, so timing says nothing of the token.
    unsigned char diff = given.size() == secret.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
    return diff == 0;
}

MHD_Result collect_query(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* query = static_cast<std::map<std::string, std::string>*>(cls);
    if (query->size() >= 32)
        return MHD_NO;
    query->emplace(key, value ? value : "");
    return MHD_YES;
}

ConnectionWatch::Entry* watched(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionWatch::Entry*>(info->socket_context) : nullptr;
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char* version, const char*, size_t* upload_data_size, void**) {
    // The header is in: its deadline is met.
    if (ConnectionWatch::Entry* entry = watched(connection))
        ConnectionWatch::disarm(entry);
    // Nothing takes a body; a request carrying one is answered at once and its body dropped.
    *upload_data_size = 0;
    return static_cast<HttpServer*>(cls)->handle(connection, url, method, version) == MHD_YES
               ? MHD_YES
               : MHD_NO;
}

void on_connection(void* cls, MHD_Connection* connection, void** context,
                   MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
        server->connection_started(connection, context);
    else
        server->connection_closed(context);
}

void on_completed(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    static_cast<HttpServer*>(cls)->request_done(connection);
}

// The client's address as text (IPv4 or IPv6), empty when unknown.
std::string client_address(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "";
    if (!info || !info->client_addr)
        return std::string();
    const sockaddr* a = info->client_addr;
    const void* raw =
        a->sa_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a)->sin_addr);
    return inet_ntop(a->sa_family, raw, text, sizeof text) ? text : std::string();
}

// A query argument as the address bar carries it: unreserved characters as they are, the rest
// percent-encoded.
void put_encoded(std::string& out, const char* text) {
    static const char hex[] = "0123456789ABCDEF";
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

// Every query argument but the token, in the order given, onto the address in *cls.
MHD_Result keep_argument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    if (std::strcmp(key, "token") == 0)
        return MHD_YES;
    auto* location = static_cast<std::string*>(cls);
    *location += location->find('?') == std::string::npos ? '?' : '&';
    put_encoded(*location, key);
    if (value) {
        *location += '=';
        put_encoded(*location, value);
    }
    return MHD_YES;
}

void log_error(void*, const char* format, va_list args) {
    std::fputs("vorlask-fleet: http: ", stderr);
    std::vfprintf(stderr, format, args);
}

void add_common_headers(MHD_Response* r, bool set_cookie, const std::string& token) {
    MHD_add_response_header(r, "Content-Security-Policy", kSecurityPolicy);
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    if (set_cookie) {
        std::string cookie = std::string(kCookie) + "=" + token +
                             "; Path=/; HttpOnly; SameSite=Strict; Max-Age=31536000";
        MHD_add_response_header(r, "Set-Cookie", cookie.c_str());
    }
}

// One live feed's state, owned by its response. It holds the event it is sending, shared with
// every other stream, and nothing else of the feed's.
struct Stream {
    HttpServer* server;
    EventFeed* feed;
    ConnectionWatch::Entry* entry;  // null when not watched
    std::string address;
    int keepalive_ms;
    int stall_ms;
    uint64_t seen = 0;
    std::shared_ptr<const std::string> pending = nullptr;
    size_t sent = 0;
};

ssize_t read_stream(void* cls, uint64_t, char* buffer, size_t max) {
    auto* s = static_cast<Stream*>(cls);
    // Asked for more: what was handed over went out, so the client is taking it.
    if (s->entry)
        ConnectionWatch::disarm(s->entry);
    if (!s->pending || s->sent == s->pending->size()) {
        s->pending = s->feed->next(&s->seen, s->keepalive_ms);
        s->sent = 0;
        if (!s->pending)
            return MHD_CONTENT_READER_END_OF_STREAM;
    }
    size_t n = std::min(max, s->pending->size() - s->sent);
    std::memcpy(buffer, s->pending->data() + s->sent, n);
    s->sent += n;
    // A client that stops reading is closed instead of holding its feed.
    if (s->entry)
        ConnectionWatch::arm(s->entry, monotonic_ms() + s->stall_ms);
    return static_cast<ssize_t>(n);
}

void free_stream(void* cls) {
    auto* s = static_cast<Stream*>(cls);
    s->server->stream_closed(s->address);
    delete s;
}

void free_body(void* cls) {
    delete static_cast<std::string*>(cls);
}

void free_shared_body(void* cls) {
    delete static_cast<std::shared_ptr<const std::string>*>(cls);
}

}  // namespace

bool parse_listen_address(const std::string& text, std::string& address, uint16_t& port,
                          std::string& error) {
    std::string host = "127.0.0.1", port_text = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "expected [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else if (text.find(':') != std::string::npos) {
        size_t colon = text.rfind(':');
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    unsigned char scratch[sizeof(in6_addr)];
    if (inet_pton(AF_INET, host.c_str(), scratch) != 1 &&
        inet_pton(AF_INET6, host.c_str(), scratch) != 1) {
        error = "'" + host + "' is not a numeric IPv4 or IPv6 address";
        return false;
    }
    uint64_t value = 0;
    if (read_unsigned(port_text.data(), port_text.size(), UnsignedForm{1, 65535}, value) !=
        NumberRead::ok) {
        error = "'" + port_text + "' is not a port (1-65535)";
        return false;
    }
    address = host;
    port = static_cast<uint16_t>(value);
    return true;
}

HttpServer::~HttpServer() {
    stop();
}

void HttpServer::route(const std::string& path, HttpHandler handler) {
    routes_[path] = std::move(handler);
}

void HttpServer::event_route(const std::string& path, EventFeed* feed) {
    event_routes_[path] = feed;
}

bool HttpServer::start(const HttpSettings& settings, std::string& error) {
    settings_ = settings;
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* bind_address;
    unsigned int flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD;
    if (inet_pton(AF_INET, settings.address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(settings.port);
        bind_address = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, settings.address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(settings.port);
        bind_address = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        error = "'" + settings.address + "' is not a numeric address";
        return false;
    }
    // Checked before listening; set again with the port bound.
    if (!hosts_.set(settings.address, settings.port, settings.host_names, error))
        return false;
    watch_.start(std::clamp(std::min(settings.header_deadline_ms, settings.stall_ms) / 4, 20, 250));
    daemon_ = MHD_start_daemon(flags, settings.port, nullptr, nullptr, &on_request, this,
                               MHD_OPTION_SOCK_ADDR, bind_address, MHD_OPTION_CONNECTION_LIMIT,
                               settings.max_connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                               settings.max_per_address, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                               settings.max_request_bytes, MHD_OPTION_CONNECTION_TIMEOUT,
                               settings.idle_timeout_seconds, MHD_OPTION_NOTIFY_CONNECTION,
                               &on_connection, this, MHD_OPTION_NOTIFY_COMPLETED, &on_completed,
                               this, MHD_OPTION_THREAD_STACK_SIZE, static_cast<size_t>(256 * 1024),
                               MHD_OPTION_EXTERNAL_LOGGER, &log_error, nullptr, MHD_OPTION_END);
    if (!daemon_) {
        watch_.stop();
        error = "cannot listen on " + settings.address + " port " + std::to_string(settings.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : settings.port;
    return hosts_.set(settings.address, port_, settings.host_names, error);
}

void HttpServer::stop() {
    if (daemon_) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
    watch_.stop();
}

void HttpServer::connection_started(MHD_Connection* connection, void** context) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    *context = info ? watch_.opened(info->connect_fd, monotonic_ms() + settings_.header_deadline_ms)
                    : nullptr;
}

void HttpServer::connection_closed(void** context) {
    if (*context)
        watch_.closed(static_cast<ConnectionWatch::Entry*>(*context));
    *context = nullptr;
}

void HttpServer::request_done(MHD_Connection* connection) {
    // A connection kept open waits for its next request's header, with the same deadline.
    if (ConnectionWatch::Entry* entry = watched(connection))
        ConnectionWatch::arm(entry, monotonic_ms() + settings_.header_deadline_ms);
}

void HttpServer::stream_closed(const std::string& address) {
    std::lock_guard<std::mutex> lock(streams_mutex_);
    --streams_;
    auto it = streams_by_address_.find(address);
    if (it != streams_by_address_.end() && --it->second == 0)
        streams_by_address_.erase(it);
}

bool HttpServer::authorized(MHD_Connection* connection, bool& set_cookie) {
    set_cookie = false;
    const std::string& token = settings_.token;
    if (token.empty())
        return true;
    // A token in the address is checked first, so that it always leaves the address again.
    const char* given = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
    if (given) {
        set_cookie = same_secret(given, token);
        return set_cookie;
    }
    const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
    if (header && std::strncmp(header, "Bearer ", 7) == 0 && same_secret(header + 7, token))
        return true;
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookie);
    if (cookie && same_secret(cookie, token))
        return true;
    return false;
}

std::vector<std::pair<int, uint64_t>> HttpServer::requests_by_code() const {
    std::vector<std::pair<int, uint64_t>> counts;
    for (size_t i = 0; i < answered_.size(); ++i) {
        uint64_t n = answered_[i].load(std::memory_order_relaxed);
        if (n)
            counts.emplace_back(kFirstCode + static_cast<int>(i), n);
    }
    return counts;
}

void HttpServer::count(int status) {
    if (status >= kFirstCode && status <= kLastCode)
        answered_[static_cast<size_t>(status - kFirstCode)].fetch_add(1, std::memory_order_relaxed);
}

int HttpServer::send(MHD_Connection* connection, HttpResponse response, bool set_cookie) {
    count(response.status);
    MHD_Response* r;
    if (response.shared_body) {
        auto* body = new std::shared_ptr<const std::string>(std::move(response.shared_body));
        r = MHD_create_response_from_buffer_with_free_callback_cls(
            (*body)->size(), const_cast<char*>((*body)->data()), &free_shared_body, body);
        if (!r)
            delete body;
    } else {
        auto* body = new std::string(std::move(response.body));
        r = MHD_create_response_from_buffer_with_free_callback_cls(
            body->size(), const_cast<char*>(body->data()), &free_body, body);
        if (!r)
            delete body;
    }
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", response.content_type.c_str());
    MHD_add_response_header(r, "Cache-Control", response.cacheable ? "max-age=3600" : "no-store");
    add_common_headers(r, set_cookie, settings_.token);
    if (response.status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(r, "Allow", "GET, HEAD");
    if (response.status == MHD_HTTP_UNAUTHORIZED)
        MHD_add_response_header(r, "WWW-Authenticate", "Bearer");
    MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(response.status), r);
    MHD_destroy_response(r);
    return result;
}

int HttpServer::redirect(MHD_Connection* connection, const std::string& url) {
    // The token leaves the address bar: the page is loaded again without it, with the rest of
    // its query as it was.
    std::string location = url;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &keep_argument, &location);
    std::string body = "see " + location + "\n";
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", "text/plain; charset=utf-8");
    MHD_add_response_header(r, "Location", location.c_str());
    MHD_add_response_header(r, "Cache-Control", "no-store");
    add_common_headers(r, true, settings_.token);
    count(MHD_HTTP_SEE_OTHER);
    MHD_Result result = MHD_queue_response(connection, MHD_HTTP_SEE_OTHER, r);
    MHD_destroy_response(r);
    return result;
}

int HttpServer::open_stream(MHD_Connection* connection, EventFeed* feed, bool set_cookie) {
    std::string address = client_address(connection);
    {
        std::lock_guard<std::mutex> lock(streams_mutex_);
        unsigned& mine = streams_by_address_[address];
        unsigned per_address = std::max(1u, settings_.max_per_address / 4);
        if (streams_ >= settings_.max_streams || mine >= per_address) {
            if (mine == 0)
                streams_by_address_.erase(address);
            HttpResponse busy{503, "text/plain; charset=utf-8", "too many live feeds open\n"};
            return send(connection, busy, set_cookie);
        }
        ++streams_;
        ++mine;
    }
    auto* stream = new Stream{
        this, feed, watched(connection), address, settings_.keepalive_ms, settings_.stall_ms};
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &read_stream,
                                                        stream, &free_stream);
    if (!r) {
        free_stream(stream);
        return MHD_NO;
    }
    MHD_add_response_header(r, "Content-Type", "text/event-stream");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    add_common_headers(r, set_cookie, settings_.token);
    count(MHD_HTTP_OK);
    MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return result;
}

int HttpServer::handle(MHD_Connection* connection, const std::string& url,
                       const std::string& method, const std::string& version) {
    // Before anything else, token or not: a name the collector does not know is a page of
    // another site reaching it through the browser. HTTP/1.0 may leave Host out (no browser
    // does); HTTP/1.1 may not.
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if (host ? !hosts_.allowed(host) : version != MHD_HTTP_VERSION_1_0)
        return send(connection, {421, "text/plain; charset=utf-8", "unknown host name\n"}, false);
    auto route = routes_.find(url);
    auto events = event_routes_.find(url);
    bool known = route != routes_.end() || events != event_routes_.end();
    bool set_cookie = false;
    if (!authorized(connection, set_cookie))
        return send(connection, {401, "text/plain; charset=utf-8", "access token needed\n"}, false);
    if (!known)
        return send(connection, {404, "text/plain; charset=utf-8", "not found\n"}, set_cookie);
    if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD)
        return send(connection, {405, "text/plain; charset=utf-8", "read only\n"}, set_cookie);
    if (set_cookie)
        return redirect(connection, url);
    if (events != event_routes_.end())
        return open_stream(connection, events->second, false);
    HttpRequest request;
    request.path = url;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collect_query, &request.query);
    return send(connection, route->second(request), false);
}

}  // namespace fleet_page
