// What every module of the package needs from Python, by concern:
//   ref.hpp     owning references, errors, calls, print
//   args.hpp    methods described once (name, parameters, doc, body), trampolines
//   module.hpp  modules, plain classes, imports, script globals
//   array.hpp   NumPy arrays: conversion, results, views
//   memory.hpp  the reuse cache for large arrays
//   blas.hpp    the GIL, and products through NumPy's BLAS
// Nothing here knows about layers; their rules live in src/layer.
#pragma once

#include "bind/args.hpp"
#include "bind/array.hpp"
#include "bind/blas.hpp"
#include "bind/memory.hpp"
#include "bind/module.hpp"
#include "bind/ref.hpp"
