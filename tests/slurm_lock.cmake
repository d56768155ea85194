# Included by CTest after the tests are discovered: the Slurm tests share one
# cluster's fixed ports and /run/munge, so they hold one lock.
foreach(name SlurmMode.RanksGoRoundTheNodesInOneStepAndTheStatusIsTheirs SlurmMode.AKilledRankEndsTheRun
             SlurmMode.CancellingTheAllocationEndsEveryRank)
  if(TEST ${name})
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK slurm_cluster)
  endif()
endforeach()
