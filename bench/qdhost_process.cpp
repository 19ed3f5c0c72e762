#include "qdhost_process.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "qdev/qdev.h"

namespace qdbench {

QdhostProcess::QdhostProcess(const WorkDir& work, const std::string& name, Programs programs)
    : work_(work), name_(name), programs_(std::move(programs)) {
  devdir_ = work_.file(name_) + "/dev";
}

QdhostProcess::~QdhostProcess() = default;

bool QdhostProcess::start(const std::string& conf, const std::string& topology,
                          const std::vector<std::string>& args) {
  ::mkdir(work_.file(name_).c_str(), 0711);
  if (!work_.write(name_ + ".conf", conf) || !work_.write(name_ + ".topology", topology)) {
    error_ = "cannot write the work directory " + work_.path();
    return false;
  }
  std::vector<std::string> all = {"--devdir",   devdir_,
                                  "--conf",     work_.file(name_ + ".conf"),
                                  "--topology", work_.file(name_ + ".topology")};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<std::string> env;
  if (!programs_.alloc_shim.empty()) {
    counter_ = std::make_unique<AllocCounter>(work_.file(name_ + ".allocs"));
    env = {"LD_PRELOAD=" + programs_.alloc_shim,
           std::string(kAllocCountFileEnv) + "=" + counter_->path()};
  }
  ::setenv("QD_DEVDIR", devdir_.c_str(), 1);
  child_ = std::make_unique<ChildProcess>(programs_.qdhost, all, env, work_.file(name_ + ".log"));
  // The last line of its start-up report: every node is served from then on.
  if (child_->pid() < 0 || !child_->wait_log("qdhost: serving ", std::chrono::seconds(60))) {
    error_ = "qdhost did not start:\n" + child_->log();
    return false;
  }
  return true;
}

std::vector<std::string> QdhostProcess::nodes(const std::string& prefix) const {
  std::vector<std::pair<unsigned long, std::string>> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(devdir_, ec)) {
    const std::string name = e.path().filename().string();
    struct ::stat st {};
    if (name.starts_with(prefix) && name.find_first_of(".,") == std::string::npos &&
        qdev::stat(e.path().c_str(), &st) == 0) {
      found.emplace_back(qdev::minor_of(st.st_rdev), e.path().string());
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& f : found) {
    paths.push_back(std::move(f.second));
  }
  return paths;
}

bool QdhostProcess::stop(Ended* ended) {
  if (!child_) {
    return false;
  }
  *ended = child_->stop(SIGTERM, std::chrono::seconds(60));
  if (ended->status != 0) {
    error_ = "qdhost ended with status " + std::to_string(ended->status) + ", signal " +
             std::to_string(ended->signal) + ":\n" + child_->log();
    return false;
  }
  std::error_code ec;
  if (std::filesystem::exists(devdir_, ec) && !std::filesystem::is_empty(devdir_, ec)) {
    error_ = "qdhost left files in " + devdir_;
    return false;
  }
  return true;
}

} // namespace qdbench
