// STREAMS modules known by name, the pass-through module, and the autopush list.
#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kemu/streams.h"
#include "streams_modules.h"

namespace kemu {
namespace {

int passthru_put(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

int passthru_open(queue_t* q, dev_t* /*devp*/, int /*oflag*/, int sflag, cred_t* /*cr*/) {
  if (sflag != MODOPEN) {
    return ENXIO;
  }
  qprocson(q);
  return 0;
}

int passthru_close(queue_t* q, int /*flag*/, cred_t* /*cr*/) {
  qprocsoff(q);
  return 0;
}

module_info passthru_info = {0, "passthru", 0, INFPSZ, 0, 0};
qinit passthru_rinit = {passthru_put, nullptr,        passthru_open, passthru_close,
                        nullptr,      &passthru_info, nullptr};
qinit passthru_winit = {passthru_put, nullptr, nullptr, nullptr, nullptr, &passthru_info, nullptr};
streamtab passthru_tab = {&passthru_rinit, &passthru_winit, nullptr, nullptr};

struct AutopushEntry {
  major_t maj;
  minor_t first;
  minor_t last;
  std::vector<std::string> modules;
};

struct Registry {
  std::mutex mu;
  std::map<std::string, streamtab*, std::less<>> modules{{"passthru", &passthru_tab}};
  std::vector<AutopushEntry> autopush;
};
Registry& registry() {
  static Registry r;
  return r;
}

} // namespace

void register_module(std::string_view name, streamtab* tab) {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  r.modules[std::string(name)] = tab;
}

void unregister_module(std::string_view name) {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  if (auto it = r.modules.find(name); it != r.modules.end()) {
    r.modules.erase(it);
  }
}

streamtab* passthru_streamtab() {
  return &passthru_tab;
}

void register_passthru_module(std::string_view name) {
  register_module(name, &passthru_tab);
}

void set_autopush(major_t maj, minor_t first, minor_t last, std::vector<std::string> modules) {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  r.autopush.push_back({maj, first, last, std::move(modules)});
}

void clear_autopush() {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  r.autopush.clear();
}

streamtab* find_module(std::string_view name) {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  auto it = r.modules.find(name);
  return it == r.modules.end() ? nullptr : it->second;
}

std::vector<std::string> autopush_for(dev_t dev) {
  auto& r = registry();
  std::lock_guard lk(r.mu);
  major_t maj = getmajor(dev);
  minor_t min = getminor(dev);
  // The latest matching entry wins.
  auto it = std::find_if(r.autopush.rbegin(), r.autopush.rend(), [&](const AutopushEntry& e) {
    return e.maj == maj && min >= e.first && min <= e.last;
  });
  return it == r.autopush.rend() ? std::vector<std::string>{} : it->modules;
}

} // namespace kemu
