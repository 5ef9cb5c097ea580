#pragma once

#include "sparse_matrix_tools/block_grid.hpp"
#include "sparse_matrix_tools/coo_matrix.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"
