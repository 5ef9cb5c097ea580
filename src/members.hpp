// The module's members, defined next to the code they expose and registered by module.cpp.
#pragma once

#include <Python.h>

namespace pwpoly {

extern PyMethodDef sum_as_string_def;
extern PyMethodDef lagrange_to_legendre_basis_transformation_def;
extern PyMethodDef lagrange_prolongation_matrix_def;
extern PyMethodDef get_lagrange_points_def;

PyTypeObject* legendre_basis_class();
PyTypeObject* legendre_basis_evaluator_class();

}  // namespace pwpoly
