#include "launcher/run/MpiLink.h"

#include <string>
#include <utility>

#include "launcher/run/AgentHub.h"

namespace runloop {

std::vector<MpiEvent> MpiLink::Take(double now) {
  std::vector<MpiEvent> events;
  if (mpi_ == nullptr) return events;
  mpi_->Tick(now);
  events.swap(events_);
  return events;
}

void MpiLink::OnReady(const pollfd* fds, size_t count, double now) {
  if (mpi_ != nullptr) mpi_->OnReady(fds, count, now, &events_);
}

void MpiLink::PollNow(double now) {
  if (mpi_ == nullptr) return;
  std::vector<pollfd> fds;
  mpi_->Fds(&fds);
  if (poll(fds.data(), fds.size(), 0) > 0) mpi_->OnReady(fds.data(), fds.size(), now, &events_);
}

void MpiLink::Flush() {
  if (mpi_ == nullptr) return;
  // Answers of the run's name table to agents' ranks, first.
  std::vector<std::pair<int, std::string>> answers;
  mpi_->TakeAgentAnswers(&answers);
  for (auto& a : answers) {
    if (hub_ != nullptr) hub_->Send({a.first}, std::move(a.second));
  }
  std::string frames;
  std::vector<MpiServer::PmixSend> sends;
  if (mpi_->TakePmixFences(&sends) && hub_ != nullptr) {
    for (MpiServer::PmixSend& s : sends) hub_->Send(s.agents, std::move(s.frames));
  }
  std::vector<MpiEvent> events;
  if (!mpi_->TakeFence(&frames, &events)) return;
  if (hub_ != nullptr && !frames.empty()) hub_->Broadcast(std::move(frames));
  events_.insert(events_.end(), events.begin(), events.end());
}

}  // namespace runloop
