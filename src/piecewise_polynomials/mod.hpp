// The bases and transfer operators of pwpoly.
#pragma once

#include "piecewise_polynomials/band_lu.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/coincidence.hpp"
#include "piecewise_polynomials/galerkin.hpp"
#include "piecewise_polynomials/interval_lookup.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/parallel_rows.hpp"
#include "piecewise_polynomials/partition.hpp"
#include "piecewise_polynomials/row_blocks.hpp"
#include "piecewise_polynomials/row_sinks.hpp"
#include "piecewise_polynomials/stepping.hpp"
