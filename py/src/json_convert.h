// Conversion between Python objects and the core's JSON values: payloads
// (dicts stored beside vectors), `where` filters written as dicts, and
// payloads given back to Python.
//
// A payload is a dict with str keys whose values are None, bool, int (from
// -2**63 to 2**64 - 1), finite float, str, or lists, tuples and dicts (str
// keys) of these, nested at most 256 levels deep (so a container that holds
// itself is refused, not followed forever). A failure names the place:
// TypeError or ValueError "payload['tags'][2]: float nan is not allowed".
//
// A where dict: {"color": "red"} (equality), {"price": {"$lt": 10}} with the
// operators $eq $ne $gt $gte $lt $lte $in $nin $contains $exists,
// {"$and": [...]}, {"$or": [...]}, {"$not": {...}}; several keys in one dict
// must all match. A field's value that is a dict without "$" keys is a
// literal (equality with that object); a dict mixing "$" and other keys is
// an error. Every failure is ValueError "invalid filter: where[...]: ...".
// An empty where dict matches everything.
//
// None of these conversions runs Python code (only exact type checks,
// dictionary and sequence access of the built-in types), so they may run
// while a buffer is borrowed. All need the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>

#include "filter.h"
#include "payload.h"

namespace orvex::py {

// `obj` (a dict or None) into `out`; `name` starts the place in messages
// ("payload", "payloads[3]"). False with an exception set on failure.
bool convert_payload(PyObject* obj, const std::string& name, Payload& out);

// A where dict (or None: no filter) into `out`.
bool convert_where(PyObject* obj, std::optional<Filter>& out);

// A new dict holding the payload's entries; nullptr with an exception set.
PyObject* payload_to_dict(const Payload& payload);

}  // namespace orvex::py
