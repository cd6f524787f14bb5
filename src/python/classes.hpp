// One registration function per class file; module.cpp calls them in order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velt::python {

void add_bloom_filter(PyObject* module);
void add_counting_bloom_filter(PyObject* module);
void add_cuckoo_filter(PyObject* module);
void add_scalable_bloom_filter(PyObject* module);
void add_minhash(PyObject* module);
void add_hyperloglog(PyObject* module);
void add_count_min_sketch(PyObject* module);
void add_topk(PyObject* module);
void add_blocked_bloom_filter(PyObject* module);
void add_minhash_lsh(PyObject* module);

}  // namespace velt::python
