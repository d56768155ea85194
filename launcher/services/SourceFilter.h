// Which senders the launcher's services take datagrams from. The protocol
// carries no credentials, so the services serve only the run's own hosts: the
// launcher's host, the hosts of the machine file, and whatever the setting
// TARVO_ACCEPT_FROM adds. A datagram from anyone else is dropped before a
// handler sees it; the first ten such senders are reported once each, and the
// end of the run says how many datagrams from how many addresses were dropped.
#ifndef TARVO_LAUNCHER_SOURCEFILTER_H
#define TARVO_LAUNCHER_SOURCEFILTER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

/// A small set of IPv4 addresses and prefixes (host byte order). Filled at
/// start-up, then only read, by any number of threads.
class SourceSet {
 public:
  void AddAddress(uint32_t address);
  void AddPrefix(uint32_t network, int bits);
  /// Adds a comma-separated list of dotted addresses and prefixes
  /// ("10.1.0.5, 10.2.0.0/16"); blanks around an entry are allowed, and an
  /// empty text adds nothing. False, with nothing added, when malformed.
  bool AddList(const char* text);
  /// Adds every IPv4 address that `name` resolves to; false when none.
  bool AddHostName(const char* name);
  /// Adds every name of a machine file (white-space separated words): the
  /// hosts on which the run may start processes.
  void AddMachineFile(FILE* file);
  /// Adds every IPv4 address of this host's interfaces; with
  /// `wholeLoopback`, the whole range 127.0.0.0/8 besides.
  void AddLocalHost(bool wholeLoopback);

  /// Called once per datagram, with the sender as the receive gives it.
  bool Accepts(const char* dottedSender) const;
  bool Accepts(uint32_t address) const;

 private:
  std::vector<uint32_t> addresses_;                    // sorted, each once
  std::vector<std::pair<uint32_t, uint32_t>> prefixes_;  // network, mask
};

/// The count of dropped datagrams and their senders, shared by the four
/// service threads.
class IgnoredSenders {
 public:
  /// Counts one dropped datagram from `sender`. Returns the line that reports
  /// the sender when it is new and among the first ten, otherwise "".
  std::string Count(const char* sender);
  /// The end-of-run line; "" when nothing was dropped.
  std::string Summary() const;

  /// Senders reported one by one; later ones are only counted.
  static const size_t kReported = 10;
  /// Distinct senders remembered for the summary: forged sources must not
  /// make the launcher's memory grow without end.
  static const size_t kRemembered = 4096;

 private:
  mutable std::mutex mutex_;
  uint64_t datagrams_ = 0;
  std::unordered_set<uint32_t> senders_;
  bool overflow_ = false;  // a sender beyond kRemembered was seen
};

/// The run's senders and the count of those dropped: the run object owns
/// one and hands it to every service thread and to the MPI server.
class RunSenders {
 public:
  /// The loopback range, so that a service thread started on its own (as
  /// tests do) serves this host.
  RunSenders();
  /// Exactly `sources`.
  explicit RunSenders(SourceSet sources) : sources_(std::move(sources)) {}

  /// The run's senders: this host, the machine file (null: a local run), or
  /// in its place the text of a batch system's allocation
  /// (`allocationHosts`, a machine file's lines), and the text of
  /// TARVO_ACCEPT_FROM (null: unset). Null, with the "ERROR-" line (and its
  /// line end) in *err, for a malformed setting.
  static std::unique_ptr<RunSenders> Make(const char* acceptFrom, const char* machineFile, std::string* err,
                                          const std::string& allocationHosts = std::string());
  /// The set, for start-up to add to; only read once the services run.
  SourceSet& Sources() { return sources_; }

  /// The one call of each service after its receive: true when the service
  /// takes the datagram. A dropped one is counted and its sender reported
  /// the first time. Once the run is closing everything passes, so that the
  /// service meets its own end-of-run check.
  bool Admit(const char* sender);
  /// A connection to the MPI ranks' TCP endpoint that did not name a rank
  /// of the run: counted and reported as a sender that is not of this run.
  void CountStranger(const char* sender);
  /// The end-of-run line on standard error, when anything was dropped.
  void Report() const;

 private:
  SourceSet sources_;
  IgnoredSenders ignored_;
};

#endif  // TARVO_LAUNCHER_SOURCEFILTER_H
