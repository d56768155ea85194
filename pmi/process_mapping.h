// PMI_process_mapping: which ranks share a node, as MPICH reads it.
#ifndef TARVO_PMI_PROCESS_MAPPING_H
#define TARVO_PMI_PROCESS_MAPPING_H

#include <string>
#include <vector>

namespace pmi {

// The value of PMI_process_mapping for ranks placed on hostOfRank[rank]:
// "(vector,(first_node,node_count,ranks_per_node),...)". Nodes are numbered
// in the order their hosts first appear; each tuple stands for node_count
// nodes from first_node on, ranks_per_node consecutive ranks each, and the
// tuples together describe a prefix of the ranks that repeats until every
// rank has its node (so (vector,(0,2,1)) is a b a b ..., and (vector,(0,1,N))
// one host). Ranks share a node in the result exactly when they share a
// host, for every placement; of the full sequence and its shortest
// repeating prefix, the one with fewer tuples is written (the full one on a
// tie). Empty for no ranks, which tells MPICH that no mapping is known.
std::string ProcessMapping(const std::vector<std::string>& hostOfRank);

}  // namespace pmi

#endif  // TARVO_PMI_PROCESS_MAPPING_H
