// Classes that typing's introspection can only see as classes.
#pragma once

#include "ref.hpp"

namespace verdin {

// Whether typing.get_origin(obj) is None and typing.get_args(obj) is () because obj is a class
// and nothing else: its metaclass derives from none of typing's alias types and looks neither
// `__class__` nor any attribute up in a way of its own, so isinstance() sees only a class.
// typing.Generic itself, whose origin is Generic, is for the caller to set apart.
bool plain_class(PyObject* obj);

}  // namespace verdin
