// The bases and transfer operators of pwpoly.
#pragma once

#include "batch_evaluation.hpp"
#include "interval_lookup.hpp"
#include "lagrange_basis.hpp"
#include "legendre.hpp"
#include "legendre_basis.hpp"
#include "partition.hpp"
