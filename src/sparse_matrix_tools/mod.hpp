#pragma once

#include "block_grid.hpp"
#include "coo_matrix.hpp"
#include "csr_matrix.hpp"
