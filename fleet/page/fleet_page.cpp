#include "fleet_page.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "number_text.h"
#include "web_assets.h"

namespace fleet_page {

namespace {

constexpr size_t kMaxPageSize = 500;
// Access points in one change event of the live feed; past that the whole state goes instead.
constexpr size_t kMaxFeedChanges = 500;

bool read_file(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    content = out.str();
    return true;
}

HttpResponse asset(const char* name, const char* type) {
    const WebAsset* a = find_web_asset(name);
    return a ? HttpResponse{200, type, std::string(a->data, a->size), true}
             : HttpResponse{404, "text/plain; charset=utf-8", "not found\n"};
}

HttpResponse bad_request(const std::string& why) {
    return {400, "text/plain; charset=utf-8", why + "\n"};
}

// A decimal integer argument, or fallback when absent; false when present and malformed.
bool int_argument(const HttpRequest& r, const char* name, int64_t fallback, int64_t& out) {
    auto it = r.query.find(name);
    if (it == r.query.end() || it->second.empty()) {
        out = fallback;
        return true;
    }
    // As strtoll reads it: blanks, then a sign, then digits to the end.
    const SignedForm form{INT64_MIN, INT64_MAX, true};
    return read_signed(it->second.c_str(), form, out) == NumberRead::ok;
}

json_object* optional_double(const std::optional<double>& v) {
    return v ? json_object_new_double(*v) : nullptr;
}

// t - span, or the earliest time there is when that would fall below it.
int64_t before(int64_t t, int64_t span) {
    int64_t earlier;
    return __builtin_sub_overflow(t, span, &earlier) ? INT64_MIN : earlier;
}

// [from, to] from the query: to defaults to now, from to `span` before to; a range longer than
// the retention period starts at its beginning. False when malformed or from is after to.
bool time_range(const HttpRequest& r, int64_t span, int64_t retention, int64_t& from, int64_t& to) {
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (!int_argument(r, "to", now, to) || !int_argument(r, "from", before(to, span), from) ||
        from > to)
        return false;
    from = std::max(from, before(to, retention));
    return true;
}

std::string arg(const HttpRequest& r, const char* name) {
    auto it = r.query.find(name);
    return it == r.query.end() ? std::string() : it->second;
}

}  // namespace

bool read_token_file(const std::string& path, std::string& token, std::string& error) {
    if (!read_file(path, token)) {
        error = "cannot read the token file " + path;
        return false;
    }
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    if (token.size() < 8 || token.size() > 256) {
        error = "the token in " + path + " must be 8 to 256 characters";
        return false;
    }
    for (char c : token) {
        if (c <= ' ' || c > '~' || c == ';' || c == ',' || c == '"' || c == '\\') {
            error = "the token in " + path + " holds a character a cookie cannot carry";
            return false;
        }
    }
    return true;
}

FleetPage::~FleetPage() {
    stop();
}

bool FleetPage::start(const PageSettings& settings, std::string& error) {
    settings_ = settings;
    if (!settings.token_file.empty() &&
        !read_token_file(settings.token_file, settings_.http.token, error))
        return false;
    if (!read_file(settings.dygraphs_directory + "/dygraph.min.js", dygraph_js_) ||
        !read_file(settings.dygraphs_directory + "/dygraph.min.css", dygraph_css_)) {
        error = "cannot read dygraphs from " + settings.dygraphs_directory +
                " (package libjs-dygraphs)";
        return false;
    }
    makers_.load(settings.ieee_directory);
    std::unique_ptr<HistoryStore> writer = HistoryStore::open(settings.db_path, false, error);
    if (!writer) {
        error = "history database " + settings.db_path + ": " + error;
        return false;
    }
    reader_ = HistoryStore::open(settings.db_path, true, error);
    if (!reader_) {
        error = "history database " + settings.db_path + ": " + error;
        return false;
    }
    recorder_.reset(new HistoryRecorder(std::move(writer), settings.recorder, settings.db_path));

    server_.route(
        "/", [](const HttpRequest&) { return asset("index.html", "text/html; charset=utf-8"); });
    server_.route("/app.js", [](const HttpRequest&) {
        return asset("app.js", "text/javascript; charset=utf-8");
    });
    server_.route("/app.css",
                  [](const HttpRequest&) { return asset("app.css", "text/css; charset=utf-8"); });
    for (const char* icon : {"/icon.svg", "/favicon.ico"})
        server_.route(icon, [](const HttpRequest&) { return asset("icon.svg", "image/svg+xml"); });
    server_.route("/dygraphs/dygraph.min.js", [this](const HttpRequest&) {
        return HttpResponse{200, "text/javascript; charset=utf-8", dygraph_js_, true};
    });
    server_.route("/dygraphs/dygraph.min.css", [this](const HttpRequest&) {
        return HttpResponse{200, "text/css; charset=utf-8", dygraph_css_, true};
    });
    server_.route("/api/view", [this](const HttpRequest&) {
        return HttpResponse{200, "application/json", std::string(), false, view_document()};
    });
    server_.route("/api/summary", [this](const HttpRequest&) {
        // The history's counters change between snapshots: the summary with them is rendered
        // per request (small); the feed carries them as they were at the snapshot.
        return HttpResponse{200, "application/json",
                            render_summary(*current().view, summary_counters(recorder_->stats()))};
    });
    server_.route("/api/stations", [this](const HttpRequest& r) {
        int64_t offset, limit;
        if (!int_argument(r, "offset", 0, offset) || !int_argument(r, "limit", 50, limit) ||
            offset < 0 || limit < 1 || limit > static_cast<int64_t>(kMaxPageSize))
            return bad_request("offset must be 0 or more and limit 1 to 500");
        return HttpResponse{
            200, "application/json",
            render_station_page(*current().view, arg(r, "q"), static_cast<size_t>(offset),
                                static_cast<size_t>(limit), makers_)};
    });
    server_.route("/metrics", [this](const HttpRequest&) {
        return HttpResponse{200, kMetricsContentType, metrics_text()};
    });
    server_.route("/api/history", [this](const HttpRequest& r) { return history(r); });
    server_.route("/api/station", [this](const HttpRequest& r) { return station_history(r); });
    server_.route("/api/visits", [this](const HttpRequest& r) { return visits(r); });
    server_.event_route("/api/events", &feed_);

    published_.view = std::make_shared<const ViewSnapshot>();
    published_.summary = std::make_shared<const std::string>(render_summary(*published_.view));
    if (!server_.start(settings_.http, error)) {
        recorder_.reset();
        return false;
    }
    started_ = true;
    return true;
}

void FleetPage::stop() {
    if (!started_)
        return;
    started_ = false;
    feed_.close();
    server_.stop();
    recorder_.reset();
    reader_.reset();
}

void FleetPage::on_scan(ScanSample sample) {
    if (recorder_)
        recorder_->record(std::move(sample));
}

void FleetPage::on_view(std::shared_ptr<const ViewSnapshot> view) {
    ScanSample site;
    site.time = view->time;
    site.stations = static_cast<int64_t>(view->stations.size());
    for (const ApState& ap : view->access_points) {
        if (ap.online && ap.crowd)
            site.crowd = site.crowd.value_or(0) + *ap.crowd;
    }
    if (recorder_)
        recorder_->record(std::move(site));
    // One publication at a time, so that each change is from the view published just before.
    std::lock_guard<std::mutex> publishing(publish_mutex_);
    auto history = summary_counters(recorder_ ? recorder_->stats() : RecorderStats());
    auto summary = std::make_shared<const std::string>(render_summary(*view, history));
    std::string change = render_changes(*current().view, *view, kMaxFeedChanges, history);
    {
        std::lock_guard<std::mutex> lock(view_mutex_);
        published_ = {std::move(view), summary};
    }
    feed_.publish("view", *summary, "change", change);
}

std::string FleetPage::metrics_text() const {
    // One snapshot for every series: the figures agree with each other and with the page.
    std::shared_ptr<const ViewSnapshot> view = current().view;
    MetricsInput input;
    input.view = view.get();
    if (recorder_)
        input.history = recorder_->stats();
    input.http_requests = server_.requests_by_code();
    input.max_aps = settings_.metrics_per_ap;
    MetricsWriter out;
    write_collector_metrics(out, input);
    if (std::optional<fleet_visits::VisitTotals> visits = visit_totals())
        write_visit_metrics(out, *visits, input.history.visits_dropped);
    for (const MetricsSource& source : metrics_sources_)
        source(out);
    return out.text();
}

void FleetPage::on_visits(std::vector<fleet_visits::VisitEvent> events) {
    if (recorder_ && settings_.visits && !events.empty())
        recorder_->record_visits(std::move(events));
}

std::vector<VisitDays> FleetPage::visit_days(int64_t since_day, size_t limit) {
    std::lock_guard<std::mutex> lock(reader_mutex_);
    return reader_ ? reader_->visit_days(since_day, limit) : std::vector<VisitDays>();
}

void FleetPage::set_visit_totals(const fleet_visits::VisitTotals& totals) {
    std::lock_guard<std::mutex> lock(visit_totals_mutex_);
    visit_totals_ = totals;
}

std::optional<fleet_visits::VisitTotals> FleetPage::visit_totals() const {
    std::lock_guard<std::mutex> lock(visit_totals_mutex_);
    return visit_totals_;
}

FleetPage::Published FleetPage::current() const {
    std::lock_guard<std::mutex> lock(view_mutex_);
    return published_;
}

std::shared_ptr<const std::string> FleetPage::view_document() {
    std::lock_guard<std::mutex> lock(render_mutex_);
    std::shared_ptr<const ViewSnapshot> view = current().view;
    if (rendered_ && (rendered_from_.lock() == view || *documents_ >= kMaxViewDocuments))
        return rendered_;
    // The count goes down when the last answer sending a document lets it go.
    std::shared_ptr<std::atomic<int>> count = documents_;
    ++*count;
    auto* document = new std::string(render_view(*view));
    document->push_back('\n');
    rendered_.reset(document, [count](const std::string* d) {
        --*count;
        delete d;
    });
    rendered_from_ = view;
    return rendered_;
}

HttpResponse FleetPage::history(const HttpRequest& r) {
    int64_t from, to;
    // At most the retention period in one answer (a week of minutes).
    if (!time_range(r, 3600, settings_.recorder.retention_seconds, from, to))
        return bad_request("from and to are unix seconds, from not after to");
    std::string ap = arg(r, "ap");
    std::vector<HistoryPoint> points;
    {
        std::lock_guard<std::mutex> lock(reader_mutex_);
        points = reader_->series(ap, from, to);
    }
    json_object* doc = json_object_new_object();
    json_object_object_add(doc, "ap", ap.empty() ? nullptr : json_object_new_string(ap.c_str()));
    json_object_object_add(doc, "from", json_object_new_int64(from));
    json_object_object_add(doc, "to", json_object_new_int64(to));
    json_object* list = json_object_new_array_ext(static_cast<int>(points.size()));
    for (const HistoryPoint& p : points) {
        json_object* row = json_object_new_array_ext(7);
        json_object_array_add(row, json_object_new_int64(p.minute));
        json_object_array_add(row, json_object_new_double(p.stations_min));
        json_object_array_add(row, json_object_new_double(p.stations_max));
        json_object_array_add(row, json_object_new_double(p.stations_mean));
        json_object_array_add(row, optional_double(p.crowd_min));
        json_object_array_add(row, optional_double(p.crowd_max));
        json_object_array_add(row, optional_double(p.crowd_mean));
        json_object_array_add(list, row);
    }
    json_object_object_add(doc, "points", list);
    std::string body = json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN);
    json_object_put(doc);
    return {200, "application/json", body};
}

HttpResponse FleetPage::station_history(const HttpRequest& r) {
    int64_t from, to;
    if (!time_range(r, 86400, settings_.recorder.retention_seconds, from, to))
        return bad_request("from and to are unix seconds, from not after to");
    std::string address = arg(r, "address");
    std::optional<StationHistory> h;
    {
        std::lock_guard<std::mutex> lock(reader_mutex_);
        h = reader_->station(address, from, to);
    }
    // A station not (yet) in the history is an answer, not an error: nulls and no hours.
    json_object* doc = json_object_new_object();
    json_object_object_add(doc, "address", json_object_new_string(address.c_str()));
    json_object_object_add(doc, "first_seen", h ? json_object_new_int64(h->first_seen) : nullptr);
    json_object_object_add(doc, "last_seen", h ? json_object_new_int64(h->last_seen) : nullptr);
    json_object* hours = json_object_new_array();
    for (const StationHistory::Hour& hour : h ? h->hours : std::vector<StationHistory::Hour>()) {
        json_object* o = json_object_new_object();
        json_object_object_add(o, "hour", json_object_new_int64(hour.hour));
        json_object_object_add(o, "strongest", json_object_new_string(hour.ap.c_str()));
        json_object_object_add(o, "rssi", json_object_new_int(hour.rssi));
        json_object_array_add(hours, o);
    }
    json_object_object_add(doc, "hours", hours);
    std::string body = json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN);
    json_object_put(doc);
    return {200, "application/json", body};
}

HttpResponse FleetPage::visits(const HttpRequest& r) {
    json_object* doc = json_object_new_object();
    json_object_object_add(doc, "enabled", json_object_new_boolean(settings_.visits));
    std::vector<VisitRow> rows;
    if (settings_.visits) {
        std::string step = arg(r, "step");
        if (!step.empty() && step != "hour" && step != "day") {
            json_object_put(doc);
            return bad_request("step is hour or day");
        }
        bool by_day = step == "day";
        int64_t from, to;
        // A day of hours, or thirty days, unless asked; at most the visits' retention.
        if (!time_range(r, by_day ? 30 * 86400 : 86400, settings_.recorder.visit_retention_seconds,
                        from, to)) {
            json_object_put(doc);
            return bad_request("from and to are unix seconds, from not after to");
        }
        // No site: every site; site= (empty) the collector's one site.
        std::optional<std::string> site;
        if (r.query.count("site") != 0)
            site = arg(r, "site");
        std::string ap = arg(r, "ap");
        {
            std::lock_guard<std::mutex> lock(reader_mutex_);
            rows = reader_->visits(by_day, site, ap, from, to);
        }
        json_object_object_add(doc, "step", json_object_new_string(by_day ? "day" : "hour"));
        json_object_object_add(doc, "site", site ? json_object_new_string(site->c_str()) : nullptr);
        json_object_object_add(doc, "ap",
                               ap.empty() ? nullptr : json_object_new_string(ap.c_str()));
        json_object_object_add(doc, "from", json_object_new_int64(from));
        json_object_object_add(doc, "to", json_object_new_int64(to));
    }
    json_object* columns = json_object_new_array();
    for (const char* c :
         {"time", "started", "ended", "visitors", "passersby", "new", "returning", "dwell_under_5",
          "dwell_5_15", "dwell_15_60", "dwell_60_over", "dwell_mean"})
        json_object_array_add(columns, json_object_new_string(c));
    json_object_object_add(doc, "columns", columns);
    json_object* list = json_object_new_array_ext(static_cast<int>(rows.size()));
    for (const VisitRow& v : rows) {
        const VisitCounts& c = v.counts;
        json_object* row = json_object_new_array_ext(12);
        for (int64_t n : {v.period, c.started, c.ended, c.visitors, c.passersby, c.new_visitors,
                          c.returning, c.dwell[0], c.dwell[1], c.dwell[2], c.dwell[3]})
            json_object_array_add(row, json_object_new_int64(n));
        json_object_array_add(
            row, c.ended > 0 ? json_object_new_double(static_cast<double>(c.dwell_seconds) /
                                                      static_cast<double>(c.ended))
                             : nullptr);
        json_object_array_add(list, row);
    }
    json_object_object_add(doc, "rows", list);
    std::string body = json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN);
    json_object_put(doc);
    return {200, "application/json", body};
}

}  // namespace fleet_page
