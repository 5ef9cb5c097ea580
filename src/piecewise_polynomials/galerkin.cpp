#include "piecewise_polynomials/galerkin.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "common/sizes.hpp"
#include "piecewise_polynomials/interval_lookup.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/lagrange_values.hpp"
#include "piecewise_polynomials/legendre.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

constexpr const char* size_mismatch = "Galerkin operator: buffer sizes do not match";
constexpr const char* index_overflow = "Galerkin operator: index type too narrow";
constexpr const char* outside_rows = "Galerkin operator: range outside the operator's rows";

// The zero rule: a quadrature sum of `terms` terms w (f g) is an exact zero seen through rounding
// when it lies within terms * zero_units of its scale, the sum of the terms' magnitudes (the rule's
// integral of |f g|): a bound on the rounding error of the computed sum, the terms' own (a few
// units in the last place of each value f and g) included. Measured against exact rational
// arithmetic: the sums of exact zeros stay below 2 terms eps of their scale (Lagrange and
// Legendre bases both ways to degree 128, projections to degree 16), and every exact nonzero above
// the bound is kept; one that lies below it is no larger than the rounding of the stored entries.
constexpr double zero_units = 0x1p-50;  // 4 eps

void require(bool condition, const char* message) {
    if (!condition) fault(message);
}

template <class Index>
void require_index(std::size_t largest) {
    require(largest <= static_cast<std::size_t>(std::numeric_limits<Index>::max()), index_overflow);
}

bool is_zero(double sum, double magnitude, std::size_t terms) {
    return !(std::fabs(sum) > (static_cast<double>(terms) * zero_units) * magnitude);
}

// cos(theta) for theta in [0, pi] by its Taylor series, in a fixed order of + - * /.
double series_cosine(double theta) {
    const double square = theta * theta;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 40; ++k) {
        const double a = static_cast<double>(2 * k - 1);
        const double b = static_cast<double>(2 * k);
        term = -((term * square) / (a * b));
        sum = sum + term;
    }
    return sum;
}

// P_n(x) and P_(n-1)(x) by the three-term recurrence (n >= 1).
void legendre_pair(std::size_t n, double x, double& p_n, double& p_previous) {
    walk_legendre_order(x, n, 0, [&](std::size_t i, double p) {
        if (i + 1 == n) p_previous = p;
        if (i == n) p_n = p;
    });
}

// Values (or xi-derivatives) of the first `count` local functions of a basis at x: Legendre
// polynomials by the recurrence, Lagrange functions in product form (lagrange_values.hpp).
class LocalFunctions {
public:
    LocalFunctions(BasisShape shape, std::size_t count) : count_(count) {
        if (shape.kind == BasisKind::lagrange) lagrange_.emplace(shape.degree);
    }

    void values(double x, bool derivative, std::vector<double>& out) const {
        out.assign(count_, 0.0);
        if (lagrange_) {
            if (derivative) {
                lagrange_->derivatives(x, out);
            } else {
                lagrange_->values(x, out);
            }
            return;
        }
        legendre_values(x, out, derivative ? 1 : 0);
    }

private:
    std::size_t count_;
    std::optional<LagrangeFunctions> lagrange_;
};

// Local integrals on [-1, 1] of test function a times trial function b (or its derivative), in
// row-major order, with their zero flags, scales and the rule's number of points (the terms of
// each sum). An entry's scale is the rule's integral of the magnitude of its own product.
//
// A Legendre side costs nothing beyond the other side's degree: P_a is orthogonal to every
// polynomial of lower degree, so with a Lagrange trial of degree q the rows a > q (a >= q for the
// derivative) are exact zeros; with a Lagrange test of degree p the mass columns b > p are, and
// the derivative columns b >= p are, by parts, l_a(1) P_b(1) - l_a(-1) P_b(-1) = [a = p] -
// (-1)^b [a = 0] exactly. The rule is the one exact for the degrees actually integrated, so the
// work is O(p q min(p, q)) whatever the Legendre degree.
struct LocalIntegrals {
    std::vector<double> values;
    std::vector<bool> zero;
    std::vector<double> scale;
    std::size_t terms = 0;
};

LocalIntegrals local_integrals(BasisShape test, BasisShape trial, bool derivative) {
    const std::size_t rows = test.degree + 1;
    const std::size_t columns = trial.degree + 1;
    const std::size_t cut = derivative ? 1 : 0;
    // The Legendre functions that need the rule: up to the Lagrange side's degree (less one for
    // the derivative); a Lagrange side in full.
    std::size_t test_count = rows;
    std::size_t trial_count = columns;
    if (test.kind == BasisKind::legendre && trial.kind == BasisKind::lagrange)
        test_count = std::min(rows, trial.degree - cut + 1);
    if (test.kind == BasisKind::lagrange && trial.kind == BasisKind::legendre)
        trial_count = std::min(columns, test.degree + 1 - cut);
    LocalIntegrals result{std::vector<double>(rows * columns, 0.0), std::vector<bool>(rows * columns, true),
                          std::vector<double>(rows * columns, 0.0)};
    if (test_count > 0 && trial_count > 0) {
        const std::size_t both = (test_count - 1) + (trial_count - 1);
        const std::size_t degree = both >= cut ? both - cut : 0;
        const GaussRule rule = gauss_legendre_rule(degree / 2 + 1);
        result.terms = rule.nodes.size();
        const LocalFunctions test_functions(test, test_count);
        const LocalFunctions trial_functions(trial, trial_count);
        std::vector<double> f;
        std::vector<double> g;
        for (std::size_t q = 0; q < rule.nodes.size(); ++q) {
            test_functions.values(rule.nodes[q], false, f);
            trial_functions.values(rule.nodes[q], derivative, g);
            const double w = rule.weights[q];
            for (std::size_t a = 0; a < test_count; ++a) {
                for (std::size_t b = 0; b < trial_count; ++b) {
                    // w (f g): the same bits for (a, b) and (b, a) when test and trial agree.
                    const double term = w * (f[a] * g[b]);
                    result.values[a * columns + b] = result.values[a * columns + b] + term;
                    result.scale[a * columns + b] = result.scale[a * columns + b] + std::fabs(term);
                }
            }
        }
        for (std::size_t a = 0; a < test_count; ++a) {
            for (std::size_t b = 0; b < trial_count; ++b) {
                const std::size_t e = a * columns + b;
                result.zero[e] = is_zero(result.values[e], result.scale[e], rule.nodes.size());
            }
        }
    }
    if (derivative && test.kind == BasisKind::lagrange && trial.kind == BasisKind::legendre) {
        for (std::size_t b = trial_count; b < columns; ++b) {
            // By parts: l_a(1) P_b(1) - l_a(-1) P_b(-1), with l_p(1) = l_0(-1) = 1 alone nonzero.
            const double parity = b % 2 == 0 ? 1.0 : -1.0;
            result.values[test.degree * columns + b] = result.values[test.degree * columns + b] + 1.0;
            result.values[b] = result.values[b] - parity;
            for (std::size_t a : {std::size_t{0}, test.degree}) {
                const std::size_t e = a * columns + b;
                result.scale[e] = std::fabs(result.values[e]);
                result.zero[e] = result.values[e] == 0.0;
            }
        }
    }
    return result;
}

double sign(std::size_t i) { return i % 2 == 0 ? 1.0 : -1.0; }

// A run of rows with Count constant entries each: row r (interval first_k + r) holds
// column first_k*step + r*step + offset[e] and value constant[e]; its end offset is
// next + (r + 1)*Count. Count known at compile time, so the entry loops unroll.
template <std::size_t Count, class Index>
void constant_run(std::size_t run, std::size_t first_k, std::size_t step, const std::int64_t* offset,
                  const double* constant, Index* __restrict columns, double* __restrict values,
                  Index* __restrict starts, Index next) {
    std::int64_t offsets[Count + 1] = {};
    double constants[Count + 1] = {};
    for (std::size_t e = 0; e < Count; ++e) {
        offsets[e] = offset[e];
        constants[e] = constant[e];
    }
    const std::int64_t stride = static_cast<std::int64_t>(step);
    std::int64_t origin = static_cast<std::int64_t>(first_k * step);
    for (std::size_t r = 0; r < run; ++r, origin += stride) {
        for (std::size_t e = 0; e < Count; ++e) {
            columns[r * Count + e] = static_cast<Index>(origin + offsets[e]);
            values[r * Count + e] = constants[e];
        }
        next = static_cast<Index>(next + static_cast<Index>(Count));
        starts[r] = next;
    }
}

template <class Index, std::size_t... Counts>
bool constant_run_of(std::size_t count, std::index_sequence<Counts...>, std::size_t run, std::size_t first_k,
                     std::size_t step, const std::int64_t* offset, const double* constant, Index* columns,
                     double* values, Index* starts, Index next) {
    return ((count == Counts &&
             (constant_run<Counts, Index>(run, first_k, step, offset, constant, columns, values, starts, next), true)) ||
            ...);
}

}  // namespace

GaussRule gauss_legendre_rule(std::size_t points) {
    require(points >= 1, "Gauss rule: at least one point");
    GaussRule rule{std::vector<double>(points), std::vector<double>(points)};
    const double n = static_cast<double>(points);
    const double pi = 3.141592653589793;
    for (std::size_t g = 0; g < points / 2; ++g) {
        // Root g from the right end: Newton from the classical estimate, a fixed recipe.
        double x = series_cosine((pi * (static_cast<double>(g) + 0.75)) / (n + 0.5));
        double p = 0.0;
        double p_previous = 0.0;
        double slope = 0.0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            legendre_pair(points, x, p, p_previous);
            slope = (n * (x * p - p_previous)) / (x * x - 1.0);
            const double step = p / slope;
            x = x - step;
            if (std::fabs(step) <= 1e-15) break;
        }
        legendre_pair(points, x, p, p_previous);
        slope = (n * (x * p - p_previous)) / (x * x - 1.0);
        const double weight = 2.0 / ((1.0 - x * x) * (slope * slope));
        rule.nodes[points - 1 - g] = x;
        rule.nodes[g] = -x;
        rule.weights[points - 1 - g] = weight;
        rule.weights[g] = weight;
    }
    if (points % 2 == 1) {
        // The middle node 0: P_n'(0) = n P_(n-1)(0).
        double p = 0.0;
        double p_previous = 0.0;
        legendre_pair(points, 0.0, p, p_previous);
        const double slope = n * p_previous;
        rule.nodes[points / 2] = 0.0;
        rule.weights[points / 2] = 2.0 / (slope * slope);
    }
    return rule;
}

std::size_t BasisShape::size(std::size_t n) const {
    if (kind == BasisKind::legendre) return checked_mul(checked_add(degree, 1), n);
    return checked_add(checked_mul(degree, n), 1);
}

GalerkinOperator::GalerkinOperator(BasisShape test, BasisShape trial, GalerkinForm form)
    : test_(test), trial_(trial), scaling_(Scaling::none) {
    const bool legendre_test = test.kind == BasisKind::legendre;
    const bool legendre_trial = trial.kind == BasisKind::legendre;
    require((legendre_test || test.degree >= 1) && (legendre_trial || trial.degree >= 1),
            "Galerkin operator: a Lagrange basis of degree 0");
    require(form != GalerkinForm::upwind || (legendre_test && legendre_trial),
            "Galerkin operator: upwind needs Legendre test and trial bases");
    checked_count<double>(checked_mul(checked_add(test.degree, 1), checked_add(trial.degree, 1)));
    const std::size_t p = test.degree;
    const std::size_t q = trial.degree;
    const std::size_t columns = q + 1;

    // Local values v(a, b) and zero flags on one interval, then the row kinds from them.
    std::vector<double> local((p + 1) * columns, 0.0);
    std::vector<bool> zero((p + 1) * columns, true);
    std::vector<double> scale((p + 1) * columns, 0.0);
    std::size_t terms = 0;
    if (legendre_test && legendre_trial) {
        for (std::size_t a = 0; a <= p; ++a) {
            for (std::size_t b = 0; b <= q; ++b) {
                double value = 0.0;
                if (form == GalerkinForm::mass) {
                    if (a == b) value = static_cast<double>(2 * a + 1);
                } else {
                    const double interior = b > a && (a + b) % 2 == 1 ? 2.0 : 0.0;
                    value = form == GalerkinForm::upwind ? interior + sign(a) * sign(b) : interior;
                }
                local[a * columns + b] = value;
                zero[a * columns + b] = value == 0.0;
            }
        }
        scaling_ = form == GalerkinForm::mass ? Scaling::length_over : Scaling::none;
    } else {
        const bool derivative = form == GalerkinForm::derivative;
        LocalIntegrals integrals = local_integrals(test, trial, derivative);
        for (std::size_t e = 0; e < local.size(); ++e) {
            local[e] = derivative ? integrals.values[e] : integrals.values[e] / 2.0;
        }
        zero = std::move(integrals.zero);
        scale = std::move(integrals.scale);
        terms = integrals.terms;
        scaling_ = derivative ? Scaling::none : Scaling::times_length;
    }
    auto value = [&](std::size_t a, std::size_t b) { return local[a * columns + b]; };
    auto stored = [&](std::size_t a, std::size_t b) { return !zero[a * columns + b]; };

    if (legendre_test) {
        for (std::size_t a = 0; a <= p; ++a) {
            std::vector<Entry> first;
            std::vector<Entry> other;
            for (std::size_t b = 0; b <= q; ++b) {
                if (form == GalerkinForm::upwind) {
                    // The jump of trial function b of interval k - 1 at t_k: -1 times psi_a(t_k+).
                    other.push_back({b, true, true, false, -sign(a), 0.0});
                }
                if (stored(a, b)) {
                    first.push_back({b, false, false, true, 0.0, value(a, b)});
                    other.push_back({b, false, false, true, 0.0, value(a, b)});
                }
            }
            kinds_.push_back(std::move(first));
            kinds_.push_back(std::move(other));
        }
        return;
    }
    // Lagrange test: own nodes 0 ... p - 1 of an interval (right part only).
    for (std::size_t j = 0; j < p; ++j) {
        std::vector<Entry> own;
        for (std::size_t b = 0; b <= q; ++b) {
            if (stored(j, b)) own.push_back({b, false, false, true, 0.0, value(j, b)});
        }
        kinds_.push_back(std::move(own));
    }
    // The node shared by intervals k - 1 (local node p) and k (local node 0), and the final node.
    std::vector<Entry> shared;
    std::vector<Entry> last;
    if (legendre_trial) {
        for (std::size_t b = 0; b <= q; ++b) {
            if (stored(p, b)) {
                shared.push_back({b, true, true, false, value(p, b), 0.0});
                last.push_back({b, true, true, false, value(p, b), 0.0});
            }
            if (stored(0, b)) shared.push_back({b, false, false, true, 0.0, value(0, b)});
        }
    } else {
        for (std::size_t b = 0; b < q; ++b) {
            if (stored(p, b)) {
                shared.push_back({b, true, true, false, value(p, b), 0.0});
                last.push_back({b, true, true, false, value(p, b), 0.0});
            }
        }
        // Trial node q of interval k - 1 is node 0 of interval k.
        const bool left = stored(p, q);
        const bool right = stored(0, 0);
        bool kept = left || right;
        if (left && right && scaling_ == Scaling::none) {
            kept = !is_zero(value(p, q) + value(0, 0), scale[p * columns + q] + scale[0], 2 * terms);
        }
        if (kept) shared.push_back({0, false, left, right, left ? value(p, q) : 0.0, right ? value(0, 0) : 0.0});
        if (left) last.push_back({q, true, true, false, value(p, q), 0.0});
        for (std::size_t b = 1; b <= q; ++b) {
            if (stored(0, b)) shared.push_back({b, false, false, true, 0.0, value(0, b)});
        }
    }
    kinds_.push_back(std::move(shared));
    kinds_.push_back(std::move(last));
}

template <class Visit>
void GalerkinOperator::for_each_segment(std::size_t n, std::size_t first, std::size_t last, Visit&& visit) const {
    if (first == last) return;
    if (test_.kind == BasisKind::legendre) {
        // Rows a*n + k of one degree a: interval 0 has a kind of its own, the others share one.
        for (std::size_t a = first / n; a * n < last; ++a) {
            const std::size_t begin = std::max(first, a * n) - a * n;
            const std::size_t end = std::min(last, a * n + n) - a * n;
            if (begin == 0) visit(2 * a, 0, 1);
            if (std::max(begin, std::size_t{1}) < end) visit(2 * a + 1, std::max(begin, std::size_t{1}), end);
        }
        return;
    }
    // Lagrange test: row by row, the kind and interval counted along instead of divided out.
    const std::size_t p = test_.degree;
    const std::size_t end = n * p;
    std::size_t k = first / p;
    std::size_t j = first % p;
    for (std::size_t r = first; r < last; ++r) {
        if (r == end) {
            visit(p + 1, n, n + 1);  // the final node: local node p of interval n - 1
            return;
        }
        visit(j == 0 && k > 0 ? p : j, k, k + 1);
        if (++j == p) {
            j = 0;
            ++k;
        }
    }
}

std::size_t GalerkinOperator::rows_nnz(std::size_t n, std::size_t first, std::size_t last) const {
    require(n >= 1 && first <= last && last <= rows(n), outside_rows);
    std::size_t nnz = 0;
    for_each_segment(n, first, last, [&](std::size_t kind, std::size_t begin, std::size_t end) {
        nnz = checked_add(nnz, checked_mul(kinds_[kind].size(), end - begin));
    });
    return checked_count<double>(nnz);
}

template <class Index, Partition P>
void GalerkinOperator::fill_rows(const P& partition, std::size_t first, std::size_t last,
                                 std::span<Index> indptr, std::span<Index> indices, std::span<double> data) const {
    const std::size_t n = partition.n_intervals();
    const std::size_t nnz = rows_nnz(n, first, last);
    require(indptr.size() == last - first + 1 && indices.size() == nnz && data.size() == nnz, size_mismatch);
    require(indptr[0] >= 0, size_mismatch);
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    require_index<Index>(std::max(checked_add(base, nnz), trial_.size(n)));

    // Column of entry (b, previous) on a row of interval k: k*step + offset. Unscaled entries
    // have their values once per kind; the scaled ones of a kind without left parts are
    // length(k) (times or over) their right values.
    const bool legendre_trial = trial_.kind == BasisKind::legendre;
    const std::size_t step = legendre_trial ? 1 : trial_.degree;
    const std::size_t stride = legendre_trial ? n : 1;
    std::vector<std::vector<std::int64_t>> offsets(kinds_.size());
    std::vector<std::vector<double>> constants(kinds_.size());
    std::vector<bool> right_only(kinds_.size(), true);
    for (std::size_t kind = 0; kind < kinds_.size(); ++kind) {
        for (const Entry& e : kinds_[kind]) {
            offsets[kind].push_back(static_cast<std::int64_t>(e.b * stride) -
                                    (e.previous ? static_cast<std::int64_t>(step) : 0));
            constants[kind].push_back(e.has_left && e.has_right ? e.left + e.right : e.has_left ? e.left : e.right);
            if (e.has_left) right_only[kind] = false;
        }
    }
    const bool times_length = scaling_ == Scaling::times_length;
    auto scaled = [&](double value, double length) { return times_length ? length * value : length / value; };
    Index* __restrict starts = indptr.data();
    Index* __restrict columns = indices.data();
    double* __restrict values = data.data();
    std::size_t position = 0;
    std::size_t row = 1;
    for_each_segment(n, first, last, [&](std::size_t kind, std::size_t begin, std::size_t end) {
        // Locals for the run, so that the stores below cannot be taken to change them.
        const std::size_t count = offsets[kind].size();
        const std::int64_t* __restrict offset = offsets[kind].data();
        const double* __restrict constant = constants[kind].data();
        Index* __restrict column_out = columns + position;
        double* __restrict value_out = values + position;
        Index* __restrict start_out = starts + row;
        const std::size_t run = end - begin;
        Index next = static_cast<Index>(base + position);
        const Index width = static_cast<Index>(count);
        if (scaling_ == Scaling::none &&
            constant_run_of<Index>(count, std::make_index_sequence<17>{}, run, begin, step, offset, constant,
                                   column_out, value_out, start_out, next)) {
            position += run * count;
            row += run;
            return;
        }
        for (std::size_t r = 0; r < run; ++r) {
            const std::size_t k = begin + r;
            const std::int64_t origin = static_cast<std::int64_t>(k * step);
            for (std::size_t e = 0; e < count; ++e) column_out[e] = static_cast<Index>(origin + offset[e]);
            if (scaling_ == Scaling::none) {
                for (std::size_t e = 0; e < count; ++e) value_out[e] = constant[e];
            } else if (right_only[kind]) {
                const double length = partition.length(k);
                if (times_length) {
                    for (std::size_t e = 0; e < count; ++e) value_out[e] = length * constant[e];
                } else {
                    for (std::size_t e = 0; e < count; ++e) value_out[e] = length / constant[e];
                }
            } else {
                const double right_length = k < n ? partition.length(k) : 0.0;
                const double left_length = k > 0 ? partition.length(k - 1) : 0.0;
                const Entry* entries = kinds_[kind].data();
                for (std::size_t e = 0; e < count; ++e) {
                    const Entry& entry = entries[e];
                    double value = 0.0;
                    if (entry.has_left && entry.has_right) {
                        value = scaled(entry.left, left_length) + scaled(entry.right, right_length);
                    } else if (entry.has_left) {
                        value = scaled(entry.left, left_length);
                    } else {
                        value = scaled(entry.right, right_length);
                    }
                    value_out[e] = value;
                }
            }
            column_out += count;
            value_out += count;
            next = static_cast<Index>(next + width);
            start_out[r] = next;
        }
        position += run * count;
        row += run;
    });
}

namespace {

// The source intervals [begin, end) whose interiors may meet target interval J: the first one
// ending after J's left end, up to the last one starting before J's right end (bisection, then
// a walk).
template <class Source>
std::size_t first_meeting(const Source& source, Interval J) {
    std::size_t low = 0;
    std::size_t high = source.n_intervals();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (source.ends(middle).right > J.left) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

template <class Source>
std::size_t meeting_count(const Source& source, Interval J, std::size_t begin) {
    std::size_t end = begin;
    while (end < source.n_intervals() && source.ends(end).left < J.right) ++end;
    return end - begin;
}

// The Gauss node x of [-1, 1] on the part [lo, hi] of an interval, in that interval's local
// coordinate: the part's ends from the interval's own ends (coordinate_from_ends), then the affine
// map between them. Everything stays within [-1, 1], whatever the size of the times.
struct LocalPart {
    double middle;
    double half;

    LocalPart(Interval interval, double lo, double hi) {
        const double from = coordinate_from_ends(interval.left, interval.right, lo);
        const double to = coordinate_from_ends(interval.left, interval.right, hi);
        middle = (from + to) / 2.0;
        half = (to - from) / 2.0;
    }

    double at(double x) const { return middle + half * x; }
};

}  // namespace

template <class Source, class Target>
std::size_t projection_rows_room(std::size_t source_degree, const Source& source, std::size_t target_degree,
                                 const Target& target, std::size_t first, std::size_t last) {
    const std::size_t n_target = target.n_intervals();
    require(n_target >= 1 && source.n_intervals() >= 1, outside_rows);
    require(first <= last && last <= checked_mul(checked_add(target_degree, 1), n_target), outside_rows);
    std::size_t room = 0;
    for (std::size_t r = first; r < last; ++r) {
        const Interval J = target.ends(r % n_target);
        const std::size_t overlaps = meeting_count(source, J, first_meeting(source, J));
        room = checked_add(room, checked_mul(overlaps, checked_add(source_degree, 1)));
    }
    return checked_count<double>(room);
}

template <class Index, class Source, class Target>
std::size_t projection_rows(std::size_t source_degree, const Source& source, std::size_t target_degree,
                            const Target& target, std::size_t first, std::size_t last, std::span<Index> indptr,
                            std::span<Index> indices, std::span<double> data) {
    const std::size_t room = projection_rows_room(source_degree, source, target_degree, target, first, last);
    require(indptr.size() == last - first + 1 && indices.size() >= room && data.size() >= room, size_mismatch);
    require(indptr[0] >= 0, size_mismatch);
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    const std::size_t n_source = source.n_intervals();
    const std::size_t n_target = target.n_intervals();
    const std::size_t m_source = source_degree + 1;
    require_index<Index>(std::max(checked_add(base, room), checked_mul(m_source, n_source)));
    const GaussRule rule = gauss_legendre_rule((source_degree + target_degree) / 2 + 1);

    // Per overlap of the current row: its source interval, and the entries of the source degrees
    // (NaN where nothing is stored).
    std::vector<std::size_t> intervals;
    std::vector<double> entries;
    std::vector<double> target_values;
    std::vector<double> source_values(m_source);
    std::vector<double> sums(m_source);
    std::vector<double> scales(m_source);
    std::size_t position = 0;
    for (std::size_t r = first; r < last; ++r) {
        const std::size_t i = r / n_target;
        const std::size_t m = r % n_target;
        const Interval J = target.ends(m);
        const double factor_numerator = static_cast<double>(2 * i + 1);
        target_values.resize(i + 1);  // P_0 ... P_i: the row needs P_i alone
        intervals.clear();
        entries.clear();
        const std::size_t begin = first_meeting(source, J);
        const std::size_t count = meeting_count(source, J, begin);
        for (std::size_t k = begin; k < begin + count; ++k) {
            const Interval I = source.ends(k);
            // The same interval: P_i itself.
            if (I.left == J.left && I.right == J.right) {
                intervals.push_back(k);
                for (std::size_t j = 0; j < m_source; ++j) {
                    entries.push_back(j == i ? 1.0 : std::numeric_limits<double>::quiet_NaN());
                }
                continue;
            }
            const double lo = std::max(I.left, J.left);
            const double hi = std::min(I.right, J.right);
            if (!(hi > lo)) continue;  // only an empty overlap is left out
            intervals.push_back(k);
            const LocalPart on_target(J, lo, hi);
            const LocalPart on_source(I, lo, hi);
            std::fill(sums.begin(), sums.end(), 0.0);
            std::fill(scales.begin(), scales.end(), 0.0);
            for (std::size_t g = 0; g < rule.nodes.size(); ++g) {
                legendre_values(on_target.at(rule.nodes[g]), target_values);
                legendre_values(on_source.at(rule.nodes[g]), source_values);
                const double weighted = rule.weights[g] * target_values[i];
                for (std::size_t j = 0; j < m_source; ++j) {
                    const double term = weighted * source_values[j];
                    sums[j] = sums[j] + term;
                    scales[j] = scales[j] + std::fabs(term);
                }
            }
            // ((2i + 1) / |J|) (hi - lo) / 2 times the rule's sum: the part's share of J, one
            // quotient of two differences of ends, which stay finite on a partition of finite span.
            const double share = (hi - lo) / (J.right - J.left);
            const double factor = (share * factor_numerator) / 2.0;
            for (std::size_t j = 0; j < m_source; ++j) {
                entries.push_back(is_zero(sums[j], scales[j], rule.nodes.size()) ? std::numeric_limits<double>::quiet_NaN()
                                                               : sums[j] * factor);
            }
        }
        // Columns j*n_source + k ascend with the degree first, then the interval.
        for (std::size_t j = 0; j < m_source; ++j) {
            for (std::size_t o = 0; o < intervals.size(); ++o) {
                const double value = entries[o * m_source + j];
                if (std::isnan(value)) continue;
                indices[position] = static_cast<Index>(j * n_source + intervals[o]);
                data[position] = value;
                ++position;
            }
        }
        indptr[r - first + 1] = static_cast<Index>(base + position);
    }
    return position;
}

#define PWPOLY_GALERKIN_INSTANCES(Index, P)                                                                         \
    template void GalerkinOperator::fill_rows<Index, P>(const P&, std::size_t, std::size_t, std::span<Index>,       \
                                                        std::span<Index>, std::span<double>) const;
#define PWPOLY_PROJECTION_INSTANCES(Index, Source, Target)                                                          \
    template std::size_t projection_rows<Index, Source, Target>(std::size_t, const Source&, std::size_t,            \
                                                                const Target&, std::size_t, std::size_t,            \
                                                                std::span<Index>, std::span<Index>,                 \
                                                                std::span<double>);
#define PWPOLY_PROJECTION_ROOM(Source, Target)                                                                      \
    template std::size_t projection_rows_room<Source, Target>(std::size_t, const Source&, std::size_t,              \
                                                              const Target&, std::size_t, std::size_t);

PWPOLY_GALERKIN_INSTANCES(std::int32_t, UniformPartition)
PWPOLY_GALERKIN_INSTANCES(std::int64_t, UniformPartition)
PWPOLY_GALERKIN_INSTANCES(std::int32_t, BreakpointPartition)
PWPOLY_GALERKIN_INSTANCES(std::int64_t, BreakpointPartition)
PWPOLY_PROJECTION_ROOM(UniformPartition, UniformPartition)
PWPOLY_PROJECTION_ROOM(UniformPartition, BreakpointPartition)
PWPOLY_PROJECTION_ROOM(BreakpointPartition, UniformPartition)
PWPOLY_PROJECTION_ROOM(BreakpointPartition, BreakpointPartition)
PWPOLY_PROJECTION_INSTANCES(std::int32_t, UniformPartition, UniformPartition)
PWPOLY_PROJECTION_INSTANCES(std::int64_t, UniformPartition, UniformPartition)
PWPOLY_PROJECTION_INSTANCES(std::int32_t, UniformPartition, BreakpointPartition)
PWPOLY_PROJECTION_INSTANCES(std::int64_t, UniformPartition, BreakpointPartition)
PWPOLY_PROJECTION_INSTANCES(std::int32_t, BreakpointPartition, UniformPartition)
PWPOLY_PROJECTION_INSTANCES(std::int64_t, BreakpointPartition, UniformPartition)
PWPOLY_PROJECTION_INSTANCES(std::int32_t, BreakpointPartition, BreakpointPartition)
PWPOLY_PROJECTION_INSTANCES(std::int64_t, BreakpointPartition, BreakpointPartition)

#undef PWPOLY_GALERKIN_INSTANCES
#undef PWPOLY_PROJECTION_INSTANCES
#undef PWPOLY_PROJECTION_ROOM

}  // namespace pwpoly::piecewise_polynomials
