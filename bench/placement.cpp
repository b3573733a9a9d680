#include "placement.h"

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace velmora::bench {

namespace {

// The mask this process started with, taken before anything is pinned.
const cpu_set_t& StartMask() {
  static const cpu_set_t mask = [] {
    cpu_set_t m;
    CPU_ZERO(&m);
    if (sched_getaffinity(0, sizeof m, &m) != 0) CPU_SET(0, &m);
    return m;
  }();
  return mask;
}

std::vector<int> AllowedCpus() {
  std::vector<int> cpus;
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (CPU_ISSET(i, &StartMask())) cpus.push_back(i);
  }
  return cpus;
}

long SelfTid() { return long(syscall(SYS_gettid)); }

std::vector<long> Threads() {
  std::vector<long> tids;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return tids;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') tids.push_back(std::strtol(e->d_name, nullptr, 10));
  }
  closedir(d);
  return tids;
}

void SetMask(long tid, const cpu_set_t& mask) {
  // A thread that ends meanwhile fails with ESRCH, which is fine.
  sched_setaffinity(pid_t(tid), sizeof mask, &mask);
}

cpu_set_t Only(int cpu) {
  if (cpu < 0) return StartMask();
  cpu_set_t m;
  CPU_ZERO(&m);
  CPU_SET(cpu, &m);
  return m;
}

// Field 39 of /proc/self/task/<tid>/stat: the CPU the thread last ran on.
int LastCpu(long tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%ld/stat", tid);
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char line[1024];
  const bool ok = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  if (!ok) return -1;
  const char* p = std::strrchr(line, ')');  // the name may hold spaces
  if (p == nullptr) return -1;
  int field = 2;
  for (; *p != '\0' && field < 39; ++p) {
    if (*p == ' ') ++field;
  }
  return field == 39 ? std::atoi(p) : -1;
}

// Third field of /proc/self/task/<tid>/schedstat: how many times the thread
// has been given a CPU; -1 when unknown.
long long Slices(long tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", tid);
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  long long run = 0, wait = 0, slices = -1;
  if (std::fscanf(f, "%lld %lld %lld", &run, &wait, &slices) != 3) slices = -1;
  std::fclose(f);
  return slices;
}

// Each thread's slices when the placement was last applied, so that Observe
// can tell the threads that ran since from those that slept throughout.
std::map<long, long long> SlicesAtApply;

}  // namespace

std::vector<Placement> Placements() {
  const std::vector<int> cpus = AllowedCpus();
  if (cpus.size() < 2) return {Placement{"unpinned", -1, -1}};
  return {Placement{"one-cpu", cpus[0], cpus[0]}, Placement{"split", cpus[0], cpus[1]},
          Placement{"unpinned", -1, -1}};
}

void Apply(const Placement& p) {
  const long self = SelfTid();
  // Counted before the move: a running thread migrates at once, and that
  // switch is what shows it ran under this placement.
  SlicesAtApply.clear();
  for (long tid : Threads()) SlicesAtApply[tid] = Slices(tid);
  const cpu_set_t others = Only(p.OthersCpu);
  for (long tid : Threads()) {
    if (tid != self) SetMask(tid, others);
  }
  SetMask(self, Only(p.CallerCpu));
  // Let the move happen now rather than in the first timed call.
  sched_yield();
}

void Unpin() { Apply(Placement{"unpinned", -1, -1}); }

void Observe(Seen& seen) {
  const long self = SelfTid();
  seen.Caller.insert(sched_getcpu());
  for (long tid : Threads()) {
    if (tid == self) continue;
    const auto before = SlicesAtApply.find(tid);
    if (before == SlicesAtApply.end() || Slices(tid) > before->second) {
      seen.Others.insert(LastCpu(tid));
    }
  }
}

std::string Describe(const Placement& p, const Seen& seen) {
  const auto cpu = [](int c) { return c < 0 ? std::string("any cpu") : "cpu " + std::to_string(c); };
  const auto list = [](const std::set<int>& s) {
    std::string text;
    for (int c : s) text += (text.empty() ? "" : ",") + std::to_string(c);
    return text.empty() ? std::string("-") : text;
  };
  return p.Name + ": caller pinned to " + cpu(p.CallerCpu) + ", every other thread to " +
         cpu(p.OthersCpu) + "; seen running: caller on cpu " + list(seen.Caller) +
         ", others on cpu " + list(seen.Others);
}

}  // namespace velmora::bench
