// Nearest-centroid assignment across the steps of one K-means run, skipping
// the rows whose nearest centroid provably cannot have changed.
//
// Per row it keeps the chosen centroid a, an upper bound u on the true
// (real-number) distance to a and a lower bound l on the true distance to
// every other centroid. When centroids move, u grows by a's movement and l
// shrinks by the largest movement (triangle inequality). A row is skipped
// only when l and u are far enough apart that the computed distances, with
// all their rounding, must still rank a strictly first; otherwise it is
// recomputed in full with the exact rule. Skipped or not, every row ends
// with the centroid that the full search picks.
#pragma once

#include <cstdint>
#include <vector>

#include "assign.hpp"
#include "vqmixer/observations.hpp"

namespace vqmixer {
namespace kernels {

class BoundedAssigner {
public:
    explicit BoundedAssigner(const ObservationMatrix& X);

    // Labels of rows [begin, end) against the centroids of B; rows whose
    // bounds do not settle the question are recomputed in full.
    void assign(const CentroidBlock& B, std::int32_t begin, std::int32_t end);

    // The centroids moved: new centroid i is old centroid from[i] moved to
    // new_means[i]; old centroids not listed were dropped. Bounds follow.
    void advance(const std::vector<std::vector<double>>& old_means, std::int32_t K_old,
                 const std::vector<std::int32_t>& from, const std::vector<std::vector<double>>& new_means);

    // Centroids K_old .. B.K - 1 of B were appended to the K_old centroids
    // that the bounds describe: each row's lower bound takes them in.
    void append(const CentroidBlock& B, std::int32_t K_old);

    // Forget everything: the next assign recomputes every row.
    void reset() { valid_ = false; comparable_ = false; }

    const std::int32_t* labels() const { return label_.data(); }

    // Whether cluster j gained or lost a row in the last assign, compared
    // with the labels that advance() carried over. all_changed(): no such
    // comparison is possible (first step, or bounds abandoned).
    bool all_changed() const { return all_changed_; }
    bool changed(std::int32_t j) const { return changed_[static_cast<std::size_t>(j)] != 0; }

private:
    // Applies the movement of the last advance() to row u's bounds.
    void apply_pending(std::size_t u);
    void apply_all_pending();
    // Settles rows [begin, end) that the bounds decide, applying the pending
    // movement on the way; the others go to redo_ (after a tightening try).
    void scan(const CentroidBlock& B, std::int32_t begin, std::int32_t end);
    bool tighten(const CentroidBlock& B, std::int32_t i);

    const ObservationMatrix& X_;
    std::int32_t D_;
    double eps_;  // relative slack covering the rounding of a distance of D terms
    bool valid_ = false;
    // The very first pass finds the labels only: a run of one step never
    // needs bounds. The pass after it computes them.
    bool first_pass_ = true;
    bool last_pass_labels_only_ = false;
    bool all_changed_ = true;
    bool comparable_ = false;  // label_ holds the previous step's labels, renumbered
    std::vector<char> changed_;
    // Movement not yet applied to the bounds (applied row by row by the next
    // pass over the rows): per centroid, and the largest two.
    bool pending_ = false;
    std::vector<double> moved_;
    double most_ = 0.0, second_ = 0.0;
    std::int32_t most_at_ = -1;
    std::vector<std::int32_t> label_;
    std::vector<double> upper_, lower_;
    std::vector<std::int32_t> redo_, redo_label_, unsettled_;
    std::vector<double> redo_win_, redo_other_;
};

}  // namespace kernels
}  // namespace vqmixer
