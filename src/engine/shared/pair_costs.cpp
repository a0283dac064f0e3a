#include "shared/pair_costs.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "shared/stopping.h"

namespace grix {

namespace {

template <typename Cost>
std::string number_text(Cost value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

}  // namespace

template <typename Cost>
void fill_rename_from_codes(const std::vector<int32_t>& codes1, const std::vector<int32_t>& codes2,
                            const Cost* table, int32_t table_columns, FlatMatrix<Cost>& rename,
                            const StopFlag* stop) {
  constexpr size_t ROWS_BETWEEN_CHECKS = 256;
  const int32_t n2 = static_cast<int32_t>(codes2.size());
  rename.reshape(static_cast<int32_t>(codes1.size()), n2);
  const int32_t* const column_codes = codes2.data();
  for (size_t i = 0; i < codes1.size(); ++i) {
    if (i % ROWS_BETWEEN_CHECKS == 0) throw_if_stopped(stop);
    Cost* const row = rename.row(static_cast<int32_t>(i));
    const int32_t code = codes1[i];
    if (table == nullptr) {
      for (int32_t j = 0; j < n2; ++j) row[j] = static_cast<Cost>(column_codes[j] != code);
    } else {
      const Cost* const table_row = table + static_cast<size_t>(code) * static_cast<size_t>(table_columns);
      for (int32_t j = 0; j < n2; ++j) row[j] = table_row[column_codes[j]];
    }
  }
}

template <typename Cost>
void fill_rename_from_label_costs(const std::vector<int32_t>& codes1, const std::vector<int32_t>& codes2,
                                  const LabelCosts<Cost>* costs, FlatMatrix<Cost>& rename, const StopFlag* stop) {
  if (costs == nullptr || costs->rename.empty()) {
    fill_rename_from_codes<Cost>(codes1, codes2, nullptr, 0, rename, stop);
    return;
  }
  if (costs->label_class.empty()) {
    fill_rename_from_codes(codes1, codes2, costs->rename.data(), costs->columns, rename, stop);
    return;
  }
  constexpr size_t ROWS_BETWEEN_CHECKS = 256;
  const int32_t n2 = static_cast<int32_t>(codes2.size());
  rename.reshape(static_cast<int32_t>(codes1.size()), n2);
  // The classes of tree 2's nodes, looked up once rather than once per row.
  std::vector<int32_t> column_classes(codes2.size());
  for (size_t j = 0; j < codes2.size(); ++j) column_classes[j] = costs->label_class[static_cast<size_t>(codes2[j])];
  const int32_t* const column_codes = codes2.data();
  const Cost same = costs->same_label;
  for (size_t i = 0; i < codes1.size(); ++i) {
    if (i % ROWS_BETWEEN_CHECKS == 0) throw_if_stopped(stop);
    Cost* const row = rename.row(static_cast<int32_t>(i));
    const int32_t code = codes1[i];
    const Cost* const table_row =
        costs->rename.data() + static_cast<size_t>(costs->label_class[static_cast<size_t>(code)]) *
                                   static_cast<size_t>(costs->columns);
    for (int32_t j = 0; j < n2; ++j) row[j] = column_codes[j] == code ? same : table_row[column_classes[j]];
  }
}

template <typename Cost>
void check_label_classes(const LabelCosts<Cost>& costs, int32_t code_count) {
  if (costs.label_class.empty()) return;
  if (costs.label_class.size() < static_cast<size_t>(code_count)) {
    throw std::invalid_argument("the label classes cover " + std::to_string(costs.label_class.size()) +
                                " labels; the trees have " + std::to_string(code_count));
  }
  for (size_t code = 0; code < costs.label_class.size(); ++code) {
    const int32_t label_class = costs.label_class[code];
    if (label_class < 0 || label_class >= std::min(costs.rows, costs.columns)) {
      throw std::invalid_argument("label " + std::to_string(code) + " has class " + std::to_string(label_class) +
                                  ", outside the " + std::to_string(costs.rows) + " x " +
                                  std::to_string(costs.columns) + " class table");
    }
  }
  check_cost_values(&costs.same_label, 1, 0, "same-label rename", false);
}

template <typename Cost>
Cost lowest_label_rename(const LabelCosts<Cost>& costs) {
  if (costs.rename.empty()) return Cost{0};
  const Cost lowest = *std::min_element(costs.rename.begin(), costs.rename.end());
  return costs.label_class.empty() ? lowest : std::min(lowest, costs.same_label);
}

template <typename Cost>
void fill_node_costs(const std::vector<int32_t>& codes, const std::vector<Cost>& by_code,
                     std::vector<Cost>& out) {
  if (by_code.empty()) {
    out.assign(codes.size(), Cost{1});
    return;
  }
  out.resize(codes.size());
  for (size_t i = 0; i < codes.size(); ++i) out[i] = by_code[static_cast<size_t>(codes[i])];
}

template <typename Cost>
void check_cost_values(const Cost* values, size_t count, int32_t columns, const char* what,
                       bool non_negative) {
  auto where = [&](size_t k) {
    if (columns <= 0) return std::string(what) + "[" + std::to_string(k) + "]";
    const size_t width = static_cast<size_t>(columns);
    return std::string(what) + "[" + std::to_string(k / width) + "][" + std::to_string(k % width) + "]";
  };
  for (size_t k = 0; k < count; ++k) {
    const Cost value = values[k];
    if constexpr (std::numeric_limits<Cost>::has_quiet_NaN) {
      if (std::isnan(value)) {
        throw std::invalid_argument(where(k) + " is NaN: costs must be numbers");
      }
      if (value == -std::numeric_limits<Cost>::infinity()) {
        throw std::invalid_argument(where(k) + " is -inf: costs must be finite or +inf");
      }
    }
    if (non_negative && value < 0) {
      throw std::invalid_argument(where(k) + " = " +
                                  number_text(value) + " is negative: " + what +
                                  " costs must be at least 0");
    }
  }
}

void check_int32_sums(int64_t indel_total, int64_t lowest_rename, int64_t max_renames) {
  constexpr int64_t HIGHEST = std::numeric_limits<int32_t>::max();
  constexpr int64_t LOWEST = std::numeric_limits<int32_t>::min();
  if (indel_total > HIGHEST) {
    throw std::invalid_argument("the delete and insert costs add up to " + std::to_string(indel_total) +
                                ": a distance could leave the 32-bit range");
  }
  if (lowest_rename < 0 && lowest_rename * max_renames < LOWEST) {
    throw std::invalid_argument("a rename cost of " + std::to_string(lowest_rename) +
                                " is too negative: a distance could leave the 32-bit range");
  }
}

namespace {

void check_weighted_classes(const WeightedClasses& model, const std::vector<int32_t>& classes,
                            const std::vector<int64_t>& weights, const char* side) {
  if (classes.size() != weights.size()) {
    throw std::invalid_argument(std::string(side) + ": " + std::to_string(classes.size()) + " classes but " +
                                std::to_string(weights.size()) + " weights");
  }
  for (size_t k = 0; k < classes.size(); ++k) {
    if (classes[k] < 1 || classes[k] >= model.classes) {
      throw std::invalid_argument(std::string(side) + ": label " + std::to_string(k) + " has class " +
                                  std::to_string(classes[k]) + ", outside 1 .. " +
                                  std::to_string(model.classes - 1));
    }
    if (weights[k] < 0) {
      throw std::invalid_argument(std::string(side) + ": label " + std::to_string(k) + " has weight " +
                                  std::to_string(weights[k]) + "; weights must be at least 0");
    }
  }
}

}  // namespace

LabelCosts<double> weighted_class_label_costs(const WeightedClasses& model, const std::vector<int32_t>& class1,
                                              const std::vector<int64_t>& weight1,
                                              const std::vector<int32_t>& class2,
                                              const std::vector<int64_t>& weight2) {
  const size_t k = static_cast<size_t>(std::max(model.classes, 0));
  if (model.classes < 1 || model.unit_costs.size() != k * k) {
    throw std::invalid_argument("the unit costs must be a classes x classes matrix");
  }
  check_cost_values(model.unit_costs.data(), model.unit_costs.size(), model.classes, "unit cost", true);
  check_weighted_classes(model, class1, weight1, "first labels");
  check_weighted_classes(model, class2, weight2, "second labels");
  const double* const unit = model.unit_costs.data();  // row 0: one unit deleted or inserted
  auto indel = [&](int32_t label_class, int64_t weight) {
    return weight != 0 ? unit[label_class] * static_cast<double>(weight) : 0.0;
  };
  LabelCosts<double> costs;
  costs.rows = static_cast<int32_t>(class1.size());
  costs.columns = static_cast<int32_t>(class2.size());
  costs.rename.resize(class1.size() * class2.size());
  for (size_t i = 0; i < class1.size(); ++i) {
    const double* const relabel = unit + static_cast<size_t>(class1[i]) * k;
    double* const row = costs.rename.data() + i * class2.size();
    const int64_t w1 = weight1[i];
    for (size_t j = 0; j < class2.size(); ++j) {
      const int64_t w2 = weight2[j];
      const int64_t lighter = std::min(w1, w2);
      const int64_t rest = w1 > w2 ? w1 - w2 : w2 - w1;
      const int32_t heavier_class = w1 == lighter ? class2[j] : class1[i];
      const double shared = lighter != 0 ? relabel[class2[j]] * static_cast<double>(lighter) : 0.0;
      row[j] = shared + (rest != 0 ? unit[heavier_class] * static_cast<double>(rest) : 0.0);
    }
  }
  costs.delete_costs.resize(class1.size());
  for (size_t i = 0; i < class1.size(); ++i) costs.delete_costs[i] = indel(class1[i], weight1[i]);
  costs.insert_costs.resize(class2.size());
  for (size_t j = 0; j < class2.size(); ++j) costs.insert_costs[j] = indel(class2[j], weight2[j]);
  return costs;
}

template void fill_rename_from_codes<int32_t>(const std::vector<int32_t>&, const std::vector<int32_t>&,
                                              const int32_t*, int32_t, FlatMatrix<int32_t>&,
                                              const StopFlag*);
template void fill_rename_from_codes<double>(const std::vector<int32_t>&, const std::vector<int32_t>&,
                                             const double*, int32_t, FlatMatrix<double>&, const StopFlag*);
template void fill_rename_from_label_costs<int32_t>(const std::vector<int32_t>&, const std::vector<int32_t>&,
                                                    const LabelCosts<int32_t>*, FlatMatrix<int32_t>&,
                                                    const StopFlag*);
template void fill_rename_from_label_costs<double>(const std::vector<int32_t>&, const std::vector<int32_t>&,
                                                   const LabelCosts<double>*, FlatMatrix<double>&, const StopFlag*);
template void check_label_classes<int32_t>(const LabelCosts<int32_t>&, int32_t);
template void check_label_classes<double>(const LabelCosts<double>&, int32_t);
template int32_t lowest_label_rename<int32_t>(const LabelCosts<int32_t>&);
template double lowest_label_rename<double>(const LabelCosts<double>&);
template void fill_node_costs<int32_t>(const std::vector<int32_t>&, const std::vector<int32_t>&,
                                       std::vector<int32_t>&);
template void fill_node_costs<double>(const std::vector<int32_t>&, const std::vector<double>&,
                                      std::vector<double>&);
template void check_cost_values<int32_t>(const int32_t*, size_t, int32_t, const char*, bool);
template void check_cost_values<double>(const double*, size_t, int32_t, const char*, bool);

}  // namespace grix
