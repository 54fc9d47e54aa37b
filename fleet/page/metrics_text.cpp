#include "metrics_text.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace fleet_page {

const char* const kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

namespace {

using Type = MetricsWriter::Type;
using Labels = MetricsWriter::Labels;

// A help text escapes backslash and newline; a label value the double quote too.
void put_escaped(std::string& out, const std::string& text, bool quote) {
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (quote && c == '"')
            out += "\\\"";
        else
            out += c;
    }
}

// The site label only where there is one: a collector of one site gives its series none.
Labels site_labels(const std::string& site) {
    return site.empty() ? Labels{} : Labels{{"site", site}};
}

Labels ap_labels(const ApState& ap) {
    Labels labels = site_labels(ap.site);
    labels.emplace_back("ap", ap.id);
    return labels;
}

// The view's counters by their name in the view document, as families.
struct CounterFamily {
    const char* counter;
    const char* name;
    const char* help;
};
const CounterFamily kViewCounters[] = {
    {"parts", "vorlask_documents_received_total", "Scan document parts taken in."},
    {"malformed", "vorlask_documents_malformed_total",
     "Payloads refused: bad JSON, a bad field or the wrong access point."},
    {"duplicates", "vorlask_documents_duplicate_total",
     "Parts or scans seen before (redelivered at QoS 1)."},
    {"outliers", "vorlask_documents_outlier_total",
     "Parts whose scan number is far from the last (not merged)."},
    {"scans", "vorlask_scans_total", "Complete scans merged."},
    {"incomplete", "vorlask_scans_incomplete_total", "Scans given up with parts missing."},
    {"late", "vorlask_scans_late_total", "Scans counted lost that came after all."},
    {"turned_away", "vorlask_turned_away_total",
     "Stations, access points or parts refused by a full view."},
};

struct SiteFigures {
    int64_t known = 0, online = 0;
    std::optional<double> people, devices;  // none when no online access point gives them
};

void write_view(MetricsWriter& out, const ViewSnapshot& view) {
    for (const CounterFamily& f : kViewCounters) {
        for (const auto& [name, value] : view.counters) {
            if (name == f.counter) {
                out.family(f.name, f.help, Type::counter);
                out.sample({}, value);
            }
        }
    }
    int64_t lost = 0;
    std::map<std::string, SiteFigures> sites;
    for (const ApState& ap : view.access_points) {
        lost += ap.lost_documents;
        SiteFigures& s = sites[ap.site];
        ++s.known;
        if (!ap.online)
            continue;
        ++s.online;
        if (ap.people)
            s.people = s.people.value_or(0) + *ap.people;
        if (ap.crowd)
            s.devices = s.devices.value_or(0) + static_cast<double>(*ap.crowd);
    }
    // A gauge, not a counter: it falls when a scan counted lost comes after all, and when an
    // access point is forgotten.
    out.family("vorlask_documents_lost",
               "Scan documents missing from the access points' numbering (of the access points "
               "in the view).",
               Type::gauge);
    out.sample({}, lost);
    out.family("vorlask_stations", "Stations in the merged view.", Type::gauge);
    out.sample({}, static_cast<int64_t>(view.stations.size()));
    // One gauge per site; a site without the figure has no sample.
    auto per_site = [&](const char* name, const char* help, auto&& value) {
        out.family(name, help, Type::gauge);
        for (const auto& [site, s] : sites) {
            if (std::optional<double> v = value(s))
                out.sample(site_labels(site), *v);
        }
    };
    per_site("vorlask_access_points", "Access points in the view.",
             [](const SiteFigures& s) { return std::optional<double>(s.known); });
    per_site("vorlask_access_points_online", "Access points online.",
             [](const SiteFigures& s) { return std::optional<double>(s.online); });
    per_site("vorlask_site_people",
             "People at the site: the sum over its online access points that estimate them.",
             [](const SiteFigures& s) { return s.people; });
    per_site("vorlask_site_devices",
             "Devices at the site (crowd estimate): the sum over its online access points.",
             [](const SiteFigures& s) { return s.devices; });
}

void write_access_points(MetricsWriter& out, const ViewSnapshot& view, size_t max_aps) {
    size_t shown = std::min(max_aps, view.access_points.size());
    auto each = [&](const char* name, const char* help, Type type, auto&& put) {
        out.family(name, help, type);
        for (size_t i = 0; i < shown; ++i)
            put(view.access_points[i]);
    };
    out.family("vorlask_metrics_access_points_omitted",
               "Access points left out of the per-access-point series (--metrics-per-ap).",
               Type::gauge);
    out.sample({}, static_cast<int64_t>(view.access_points.size() - shown));
    each(
        "vorlask_ap_online", "1 when the access point is online, else 0.", Type::gauge,
        [&](const ApState& ap) { out.sample(ap_labels(ap), ap.online ? int64_t{1} : int64_t{0}); });
    each("vorlask_ap_stations", "Stations in the access point's last complete scan.", Type::gauge,
         [&](const ApState& ap) { out.sample(ap_labels(ap), ap.stations); });
    each("vorlask_ap_people", "People the access point estimates (where it does).", Type::gauge,
         [&](const ApState& ap) {
             if (ap.people)
                 out.sample(ap_labels(ap), *ap.people);
         });
    each("vorlask_ap_devices", "Devices the access point estimates (crowd estimate).", Type::gauge,
         [&](const ApState& ap) {
             if (ap.crowd)
                 out.sample(ap_labels(ap), *ap.crowd);
         });
    each("vorlask_ap_documents_lost",
         "Scan documents missing from the access point's numbering.", Type::gauge,
         [&](const ApState& ap) { out.sample(ap_labels(ap), ap.lost_documents); });
    each("vorlask_ap_last_scan_timestamp_seconds",
         "When the access point's last complete scan came (unix time).", Type::gauge,
         [&](const ApState& ap) {
             if (ap.last_scan)
                 out.sample(ap_labels(ap), *ap.last_scan);
         });
}

void write_history(MetricsWriter& out, const RecorderStats& h) {
    const struct {
        const char* name;
        const char* help;
        Type type;
        uint64_t value;
    } families[] = {
        {"vorlask_history_backlog_samples", "Merged scans waiting for the history's writer.",
         Type::gauge, h.backlog_samples},
        {"vorlask_history_backlog_hearings", "Hearings in the scans waiting for the writer.",
         Type::gauge, h.backlog_hearings},
        {"vorlask_history_rows_written_total", "Rows written to the history database.",
         Type::counter, h.rows_written},
        {"vorlask_history_write_errors_total", "Writes to the history database that failed.",
         Type::counter, h.flush_errors},
        {"vorlask_history_rows_refused_total",
         "Rows refused: beyond an access point's station hours or a full database.", Type::counter,
         h.rows_refused},
        {"vorlask_history_rows_lost_total", "Rows given up after their retries.", Type::counter,
         h.rows_lost},
        {"vorlask_history_samples_dropped_total",
         "Merged scans dropped because the writer's backlog was full.", Type::counter,
         h.samples_dropped},
    };
    for (const auto& f : families) {
        out.family(f.name, f.help, f.type);
        out.sample({}, f.value);
    }
}

}  // namespace

void MetricsWriter::family(const std::string& name, const std::string& help, Type type) {
    name_ = name;
    text_ += "# HELP " + name + " ";
    put_escaped(text_, help, false);
    text_ += "\n# TYPE " + name + (type == Type::counter ? " counter\n" : " gauge\n");
}

void MetricsWriter::start_sample(const Labels& labels) {
    text_ += name_;
    if (labels.empty()) {
        text_ += ' ';
        return;
    }
    char separator = '{';
    for (const auto& [name, value] : labels) {
        text_ += separator;
        text_ += name;
        text_ += "=\"";
        put_escaped(text_, value, true);
        text_ += '"';
        separator = ',';
    }
    text_ += "} ";
}

void MetricsWriter::sample(const Labels& labels, int64_t value) {
    start_sample(labels);
    text_ += std::to_string(value);
    text_ += '\n';
}

void MetricsWriter::sample(const Labels& labels, double value) {
    start_sample(labels);
    char number[32];
    if (std::isnan(value))
        snprintf(number, sizeof number, "NaN");
    else if (std::isinf(value))
        snprintf(number, sizeof number, value > 0 ? "+Inf" : "-Inf");
    else
        snprintf(number, sizeof number, "%.15g", value);
    text_ += number;
    text_ += '\n';
}

void write_collector_metrics(MetricsWriter& out, const MetricsInput& in) {
    static const ViewSnapshot empty;
    const ViewSnapshot& view = in.view ? *in.view : empty;
    write_view(out, view);
    write_access_points(out, view, in.max_aps);
    write_history(out, in.history);
    out.family("vorlask_http_requests_total", "HTTP requests answered, by status code.",
               Type::counter);
    for (const auto& [code, count] : in.http_requests)
        out.sample({{"code", std::to_string(code)}}, count);
}

void write_visit_metrics(MetricsWriter& out, const fleet_visits::VisitTotals& t,
                         uint64_t events_dropped) {
    using Type = MetricsWriter::Type;
    out.family("vorlask_visits_started_total", "Visits begun.", Type::counter);
    out.sample({}, t.started);
    out.family("vorlask_visits_ended_total", "Visits ended, by kind.", Type::counter);
    out.sample({{"kind", "visitor"}}, t.visitors);
    out.sample({{"kind", "passerby"}}, t.passersby);
    out.family("vorlask_visitors_total", "Visitors (visits of the visitor kind), new or returning.",
               Type::counter);
    out.sample({{"returning", "false"}}, t.new_visitors);
    out.sample({{"returning", "true"}}, t.returning_visitors);
    out.family("vorlask_visits_open", "Visits going on.", Type::gauge);
    out.sample({}, t.open);
    out.family("vorlask_visits_turned_away_total",
               "Stations given no visit: the open visits were at their bound.", Type::counter);
    out.sample({}, t.turned_away);
    out.family("vorlask_visits_unremembered_total",
               "Visits whose days were not kept: the remembered stations were at their bound.",
               Type::counter);
    out.sample({}, t.unremembered);
    out.family("vorlask_history_visits_dropped_total",
               "Visit events the history's writer could not take (its queue was full).",
               Type::counter);
    out.sample({}, events_dropped);
}

}  // namespace fleet_page
