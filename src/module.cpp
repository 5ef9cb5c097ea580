// The module pwpoly: its members in their order.
#include <Python.h>

#include "binding/declare.hpp"
#include "legendre_classes.hpp"
#include "operators.hpp"

namespace pwpoly {

using Pwpoly = binding::Module<"pwpoly", "A Python module implemented in C++.",  //
                               SumAsString,                                      //
                               LagrangeToLegendreBasisTransformation,            //
                               LagrangeProlongationMatrix,                       //
                               GetLagrangePoints,                                //
                               LegendreBasisClass,                               //
                               LegendreBasisEvaluatorClass,                      //
                               binding::StringAttribute<"__version__", PWPOLY_VERSION>>;

}  // namespace pwpoly

PyMODINIT_FUNC PyInit_pwpoly() { return pwpoly::Pwpoly::init(); }
