// Every assertion site of the daemon: the line number and expression text that
// its report carries. Callers name a site; the numbers are fixed per site and
// do not follow the layout of the sources.
#pragma once

struct AssertionSite {
    int line;
    const char* text;
};

namespace site {
// Multicast channel and probe report.
constexpr AssertionSite mcast_dest{419, "r == 0"};
constexpr AssertionSite udp_init{422, "r == 0"};
constexpr AssertionSite mcast_join{435, "r == 0"};
constexpr AssertionSite report_req{448, "req != NULL"};
constexpr AssertionSite report_send{556, "r == 0"};
constexpr AssertionSite recv_error{772, "0 && \"unexpected error\""};
constexpr AssertionSite recv_flags{781, "flags == 0"};
constexpr AssertionSite recv_addr{782, "addr != NULL"};
constexpr AssertionSite greeting_req{802, "req != NULL"};
constexpr AssertionSite recv_start{815, "r == 0"};
constexpr AssertionSite greeting_send{851, "r == 0"};
// Session start-up. The hand-over of libuv work to the loop thread is
// created just before the workers.
constexpr AssertionSite handover_init{857, "0 == uv_async_init ( & nl_session->handover_ )"};
constexpr AssertionSite rwlock_init{859, "0 == uv_rwlock_init ( & nl_session->list_mac_rwlock_ )"};
constexpr AssertionSite mutex_init{
    862, "0 == uv_mutex_init ( & nl_session->threads_sync_.mutex_list_scan_ )"};
constexpr AssertionSite cond_init{
    863, "0 == uv_cond_init ( & nl_session->threads_sync_.cond_list_scan_ )"};
constexpr AssertionSite thread0{
    867, "0 == uv_thread_create ( &threads[0], worker_mac80211_connect, nl_session )"};
constexpr AssertionSite thread1{
    868, "0 == uv_thread_create ( &threads[1], worker_mac80211_mac_recv, nl_session )"};
constexpr AssertionSite thread2{
    869, "0 == uv_thread_create ( &threads[2], worker_mac_list_scan, nl_session )"};
constexpr AssertionSite thread3{
    871, "0 == uv_thread_create ( &threads[3], worker_multicast, nl_session )"};
// Timers and loop.
constexpr AssertionSite tick_timer{967, "timer_1"};
constexpr AssertionSite timer1_start{1018, "rc == 0"};
constexpr AssertionSite scan_timer_start{1026, "rc == 0"};
// The stop's wait: its timer and the wake-up the signal handler sends.
constexpr AssertionSite stop_wake_init{1028, "rc == 0"};
constexpr AssertionSite stop_timer_start{1030, "rc == 0"};
constexpr AssertionSite loop_result{1263, "rc == 0 || rc == 1"};
}  // namespace site

// Trace sites of the multicast callbacks.
namespace trace_site {
constexpr int alloc_cb_line = 746;
constexpr int udp_recv_cb_line = 769;
}  // namespace trace_site
