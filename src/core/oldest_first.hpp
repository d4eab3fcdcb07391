// OldestFirst: a dict that forgets its oldest entries once they cost too much, for the caches
// of statements and plans.
#pragma once

#include <deque>

#include "errors.hpp"
#include "ref.hpp"

namespace verdin {

// Touched with the GIL held only. The order holds its own references to the keys, so a key
// whose hash or comparison runs Python code (which could change the cache) stays valid. Made
// once per process and never destroyed: nothing is released after the interpreter is gone.
struct OldestFirst {
  PyObject* dict = nullptr;     // made on first use
  std::deque<PyObject*> order;  // the keys, oldest first (strong references)
  Py_ssize_t size = 0;          // estimated bytes the entries keep alive

  Ref get(PyObject* key) const { return dict ? dict_get(dict, key) : Ref(); }

  // A new entry `key` -> `value`, counted as `cost` bytes.
  void add(PyObject* key, PyObject* value, Py_ssize_t cost) {
    if (dict == nullptr) dict = ok(PyDict_New());
    if (PyDict_SetItem(dict, key, value) < 0) throw_error();
    order.push_back(Py_NewRef(key));
    size += cost;
  }

  // Drops the oldest entries while they cost more than `budget` bytes or number more than
  // `most`; `cost_of(key, value)` is what each was counted as.
  template <typename CostOf>
  void shrink(Py_ssize_t budget, size_t most, CostOf&& cost_of) {
    while (!order.empty() && (size > budget || order.size() > most)) {
      Ref key = Ref::take(order.front());
      order.pop_front();
      Ref value = dict_get(dict, key.get());
      if (!value) continue;
      size -= cost_of(key.get(), value.get());
      ok(PyDict_DelItem(dict, key.get()));
    }
  }
};

}  // namespace verdin
