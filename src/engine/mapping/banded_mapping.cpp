// Edit mappings of large, close pairs in band memory: the band certifies the
// distance (band_search.h), then band_walk_back follows it back.

#include <stdexcept>

#include "distance/band_search.h"
#include "mapping/edit_mapping.h"
#include "shared/pair_costs.h"

namespace grix {

EditMapping<int32_t> compute_banded_edit_mapping(const OrientedTree& tree1, const OrientedTree& tree2,
                                                 const PairCosts<int32_t>& costs, int32_t num_threads,
                                                 const StopFlag* stop, std::atomic<int64_t>* cells_done,
                                                 Algorithm algorithm, int32_t first_band) {
  check_pair_costs(costs, tree1, tree2);
  auto full = [&] {
    return compute_edit_mapping<int32_t>(tree1, tree2, costs, num_threads, stop, cells_done, algorithm);
  };
  if (tree1.size() == 0 || tree2.size() == 0 || algorithm != Algorithm::automatic || !costs_allow_band(costs)) {
    return full();
  }
  const BandPlan plan = plan_band(tree1, tree2, costs, -1, num_threads, first_band);
  if (!plan.use_band) return full();
  EditMapping<int32_t> mapping;
  mapping.distance = -1;
  BandScratch scratch;
  with_band_costs(tree1, tree2, costs, plan.mirror, [&](const PreparedTree& t1, const PreparedTree& t2,
                                                        const auto& rename, const auto& indel) {
    int32_t band = 0;
    const int32_t d = search_bands(t1, t2, rename, indel, plan.start, plan.upper, -1, plan.full_cells,
                                   plan.full_fits, scratch, stop, cells_done, band);
    if (d < 0) return;
    // Without a bound the search ends only at a band that certifies (a
    // known upper bound certifies too).
    if (d > band) throw std::logic_error("the bands ended without certifying the distance");
    mapping.distance = d;
    mapping.pairs = band_walk_back(t1, t2, band, rename, indel, scratch, stop, cells_done);
  });
  if (mapping.distance < 0) return full();
  list_unmatched_nodes(mapping, tree1, tree2, plan.mirror);
  return mapping;
}

}  // namespace grix
