// The text a unit gives for FAS_UNIT_STATS and FAS_MUX_STATS.
#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "qdemu/fas_engine.h"

namespace qdemu {

namespace {

void add(std::string& out, const char* fmt, ...) {
  char buf[160];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0)
    out.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

unsigned long long ull(std::uint64_t v) {
  return static_cast<unsigned long long>(v);
}

const char* kind_name(PortKind k) {
  switch (k) {
  case PortKind::serial:
    return "serial";
  case PortKind::parallel:
    return "printer";
  case PortKind::ab_switch:
    return "A/B switch";
  }
  return "?";
}

} // namespace

std::string Engine::line_stats_text(unsigned line) {
  std::string t;
  const Port& p = *ports_[line];
  const LineState s = p.state();
  const LineStats& st = p.stats();
  add(t, "%s %s line %u (%s)\n", model_.name != nullptr ? model_.name : "?",
      options_.firmware.c_str(), line, kind_name(s.kind));
  add(t, "  %s, %ld bit/s, %d%c%d\n", s.enabled ? "enabled" : "disabled", s.params.out_bps,
      s.params.data_bits, "NOE"[s.params.parity % 3], s.params.stop_bits);
  add(t, "  chars in %llu, out %llu; to host %llu, from host %llu\n", ull(st.bytes_in),
      ull(st.bytes_out), ull(st.bytes_to_host), ull(st.bytes_from_host));
  add(t, "  errors %llu, breaks in %llu, out %llu, overflows %llu, dropped %llu\n",
      ull(st.errors_in), ull(st.breaks_in), ull(st.breaks_out), ull(st.overflows),
      ull(st.input_dropped));
  add(t, "  commands %llu, answers %llu\n", ull(st.commands), ull(st.answers));
  return t;
}

std::string Engine::mux_stats_text() {
  std::string t;
  add(t, "%s %s: %u ports\n", model_.name != nullptr ? model_.name : "?", options_.firmware.c_str(),
      line_count());
  for (unsigned pod = 0; pod < 7; ++pod) {
    const bool fitted = ((options_.pods_present >> pod) & 1u) != 0;
    add(t, "  pod %u: %s\n", pod, !fitted ? "absent" : pod_online(pod) ? "online" : "offline");
  }
  add(t, "  batches %llu, commands %llu, answers %llu (%llu bytes)\n", ull(stats_.batches),
      ull(stats_.commands), ull(stats_.answers), ull(stats_.answer_bytes));
  return t;
}

} // namespace qdemu
