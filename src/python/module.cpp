// The module `velt._velt`: the table of contents of the binding layer. It
// creates each class in a fixed order, which is also the order of `__all__`.
#include "python/answers.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace {

PyModuleDef velt_module = {
    PyModuleDef_HEAD_INIT,
    "_velt",
    "Probabilistic data structures (membership filters, frequency and distinct-count sketches, "
    "heavy hitters and set similarity) implemented natively for Python.",
    0,        // no per-module state; not -1, so another interpreter calls PyInit again (and is refused)
    nullptr,  // m_methods: the module has no functions
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

// The module is created once per process; the class types live as long as it does.
PyObject* the_module = nullptr;
std::int64_t owning_interpreter = -1;

PyObject* create_module() {
    using namespace velt::python;
    Ref module = Ref::checked(PyModule_Create(&velt_module));
    create_answer_column_type();  // what batch queries to a column answer with; not a name of the module
    add_bloom_filter(module.get());
    add_counting_bloom_filter(module.get());
    add_scalable_bloom_filter(module.get());
    add_cuckoo_filter(module.get());
    add_hyperloglog(module.get());
    add_count_min_sketch(module.get());
    add_minhash(module.get());
    add_topk(module.get());
    add_blocked_bloom_filter(module.get());
    add_minhash_lsh(module.get());
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__velt() {
    return velt::python::entry_point([]() -> PyObject* {
        const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (the_module != nullptr) {
            if (interpreter != owning_interpreter) {
                PyErr_SetString(PyExc_ImportError, "velt._velt cannot be loaded in more than one interpreter");
                return nullptr;
            }
            return Py_NewRef(the_module);
        }
        the_module = create_module();
        owning_interpreter = interpreter;
        return Py_NewRef(the_module);
    });
}
