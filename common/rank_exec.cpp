#include "common/rank_exec.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>

#include "common/carrier_exec.h"
#include "common/carrier_params.h"
#include "common/child_io.h"
#include "common/child_sys.h"
#include "common/pmi_env.h"
#include "common/rank_place.h"

namespace {

// True when `e` is an entry of the variable whose name is the first `n`
// characters of `name`.
bool Names(const std::string& e, const char* name, size_t n) {
  return e.size() > n && e.compare(0, n, name, n) == 0 && e[n] == '=';
}

// What snprintf's kind of report says, made to its length.
template <typename Write>
std::string Said(Write write) {
  const int n = write(nullptr, 0);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n) + 1, '\0');
  write(&text[0], text.size());
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace

void EnvPut(std::vector<std::string>* env, const std::string& entry, bool keep) {
  const size_t eq = entry.find('=');
  const size_t n = eq == std::string::npos ? entry.size() : eq;
  auto same = [&](const std::string& e) { return Names(e, entry.c_str(), n); };
  if (eq == std::string::npos) {
    env->erase(std::remove_if(env->begin(), env->end(), same), env->end());
    return;
  }
  auto at = std::find_if(env->begin(), env->end(), same);
  if (at == env->end()) {
    env->push_back(entry);
  } else if (!keep) {
    *at = entry;
  }
}

const char* EnvGet(const std::vector<std::string>& env, const char* name) {
  const size_t n = strlen(name);
  for (const std::string& e : env) {
    if (Names(e, name, n)) return e.c_str() + n + 1;
  }
  return nullptr;
}

void RankExec::Seal() {
  argv.clear();
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  envp.clear();
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  static char shell[] = "/bin/sh";
  shellArgv.assign({shell, &file[0]});
  for (size_t i = 1; i < args.size(); ++i) shellArgv.push_back(&args[i][0]);
  shellArgv.push_back(nullptr);
}

void RankExecPrepare(const std::vector<std::string>& words, std::vector<std::string> env, const char* who,
                     bool pmiPort, RankExec* x) {
  x->env = std::move(env);
  std::vector<char*> raw;
  for (const std::string& w : words) raw.push_back(const_cast<char*>(w.c_str()));
  const int argc = static_cast<int>(raw.size());
  const int bad = CarrierBadParameter(argc, raw.data());
  if (bad >= 0) {
    x->refusal = Said([&](char* text, size_t size) { return CarrierRefusal(text, size, bad, argc, raw.data()); });
    return;
  }
  const size_t first = words.size() - TARVO_PARAMS;
  auto param = [&](int k) -> const std::string& { return words[first + static_cast<size_t>(k)]; };
  x->workdir = param(TARVO_PARAM_WORKDIR);
  x->args.assign(words.begin(), words.begin() + static_cast<long>(first));
  // carrier's setenv of its parameters, then of the launcher's TCP endpoint
  // for a rank without a descriptor of its own.
  for (int k = 0; k < TARVO_PARAMS; ++k) EnvPut(&x->env, std::string(tarvo_param_name(k)) + "=" + param(k));
  if (pmiPort && EnvGet(x->env, TARVO_PMI_FD) == nullptr) {
    const std::string port = param(TARVO_PARAM_HOST) + ":" + param(TARVO_PARAM_ADDRESS_PORT);
    EnvPut(&x->env, TARVO_PMI_PORT "=" + port.substr(0, 159));  // carrier's buffer
    EnvPut(&x->env, TARVO_PMI_ID "=" + param(TARVO_PARAM_RANK), true);
  }
  // carrier's lookup, on the rank's PATH, from its working directory.
  const char* path = EnvGet(x->env, "PATH");
  char file[PATH_MAX];
  const int found = CarrierLookupOn(x->args[0].c_str(), x->workdir.c_str(), x->workdir.c_str(), path, file, sizeof file);
  x->file = found == CARRIER_AS_GIVEN ? x->args[0] : std::string(file);
  if (found == CARRIER_ON_PATH) {
    x->args[0] = CarrierBareName(x->args[0].c_str(), x->workdir.c_str());
    x->notFound = Said([&](char* text, size_t size) {
      return CarrierNotFound(text, size, who, x->args[0].c_str(), x->workdir.c_str(), path);
    });
  }
  x->failure = std::string(who) + ": " + x->args[0];
  x->noWorkdir = std::string(who) + ": " + x->workdir;
}

namespace {

// Entries of the argument vector that a file handed to /bin/sh may have
// when the caller has not made them (a carrier's or a remote shell's,
// which are programs): what fits the child's stack.
const int kShellWords = 512;

// execve, and for a file that is no program, /bin/sh with the file and the
// arguments, as glibc's execvp does. -errno.
long ExecFile(const char* file, char* const* argv, char* const* envp, char* const* shellArgv) {
  const long r = child_sys::Execve(file, argv, envp);
  if (r != -ENOEXEC) return r;
  if (shellArgv != nullptr) return child_sys::Execve(shellArgv[0], shellArgv, envp);
  char* words[kShellWords];
  int n = 0;
  words[n++] = const_cast<char*>("/bin/sh");
  words[n++] = const_cast<char*>(file);
  for (int i = 1; argv[0] != nullptr && argv[i] != nullptr; ++i) {
    if (n == kShellWords - 1) return r;
    words[n++] = argv[i];
  }
  words[n] = nullptr;
  return child_sys::Execve(words[0], words, envp);
}

// The PATH of an environment; null: unset.
const char* PathOf(char* const* envp) {
  for (char* const* e = envp; e != nullptr && *e != nullptr; ++e) {
    if (strncmp(*e, "PATH=", 5) == 0) return *e + 5;
  }
  return nullptr;
}

// execvpe, without errno: -errno of the last try, EACCES when any
// directory's file could not be run.
long ExecSearch(const char* file, char* const* argv, char* const* envp, char* const* shellArgv) {
  if (strchr(file, '/') != nullptr) return ExecFile(file, argv, envp, shellArgv);
  const char* path = PathOf(envp);
  if (path == nullptr) path = "/bin:/usr/bin";
  const size_t name = strlen(file);
  char buffer[PATH_MAX];
  bool denied = false;
  long last = -ENOENT;
  for (const char* dir = path;;) {
    const char* end = strchr(dir, ':');
    const size_t length = end == nullptr ? strlen(dir) : static_cast<size_t>(end - dir);
    if (length + name + 2 <= sizeof buffer) {
      size_t at = 0;
      if (length > 0) {  // an empty entry is the working directory
        memcpy(buffer, dir, length);
        buffer[length] = '/';
        at = length + 1;
      }
      memcpy(buffer + at, file, name + 1);
      last = ExecFile(buffer, argv, envp, nullptr);
      switch (-last) {
        case EACCES:
          denied = true;
          break;
        case ENOENT:
        case ESTALE:
        case ENOTDIR:
        case ENODEV:
        case ETIMEDOUT:
          break;
        default:
          return last;
      }
    }
    if (end == nullptr) break;
    dir = end + 1;
  }
  return denied ? -EACCES : last;
}

}  // namespace

void ChildExecRun(const ChildSetup& setup, const ChildExec& x) {
  // `saidOut` is the launcher's own report: it goes where the launcher's
  // standard output goes, not into the relay that fd 1 becomes.
  int saidOutFd = STDOUT_FILENO;
  if (x.saidOut != nullptr && setup.stdFds[1] >= 0) {
    const long fd = child_sys::Fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0) saidOutFd = static_cast<int>(fd);
  }
  ChildSetUp(setup);
  if (x.refusal != nullptr) {
    ChildSay(STDERR_FILENO, x.refusal, strlen(x.refusal));
    child_sys::Exit(2);
  }
  if (x.workdir != nullptr) {
    const long r = child_sys::Chdir(x.workdir);
    if (r != 0) {
      ChildPerror(x.noWorkdir, static_cast<int>(-r));
      child_sys::Exit(127);
    }
  }
  if (x.place != nullptr && !RankPlaceApply(*x.place)) child_sys::Exit(kRankPlaceFailed);
  // Where Yama lets a process trace only its descendants, the rank's
  // starter and the starter's children (tarvo-agent --stacks) may still
  // read its call stack. Without Yama the call fails, and nothing changes.
  if (x.tracer != 0) child_sys::Prctl(PR_SET_PTRACER, static_cast<long>(x.tracer));
  const int e = static_cast<int>(-ExecSearch(x.file, x.argv, x.envp, x.shellArgv));
  if (x.execErrorFd >= 0) child_sys::Write(x.execErrorFd, &e, sizeof e);
  if (x.said != nullptr) ChildSay(STDERR_FILENO, x.said, strlen(x.said));
  if (x.saidOut != nullptr) ChildSay(saidOutFd, x.saidOut, strlen(x.saidOut));
  if (e == ENOENT && x.notFound != nullptr) {
    ChildSay(STDERR_FILENO, x.notFound, strlen(x.notFound));
  } else if (x.failure != nullptr) {
    ChildPerror(x.failure, e);
  }
  child_sys::Exit(x.failedStatus);
}

void RankExecRun(const ChildSetup& setup, const RankExec& x) {
  ChildExec c;
  if (!x.refusal.empty()) c.refusal = x.refusal.c_str();
  c.workdir = x.workdir.c_str();
  c.noWorkdir = x.noWorkdir.c_str();
  c.place = x.place;
  c.tracer = x.tracer;
  c.file = x.file.c_str();
  c.argv = x.argv.data();
  c.envp = x.envp.data();
  c.shellArgv = x.shellArgv.data();
  if (!x.notFound.empty()) c.notFound = x.notFound.c_str();
  c.failure = x.failure.c_str();
  ChildExecRun(setup, c);
}
