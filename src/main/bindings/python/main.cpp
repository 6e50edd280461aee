#include <pybind11/pybind11.h>

PYBIND11_MODULE(corvantis_core, m) { (void)m; }
