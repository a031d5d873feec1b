// Result codes shared by every component: plain signed ints, no error objects.
// Callers test rc < 0 for failure and rc > 0 for a partial success or no-op.
#ifndef GC_CORE_RESULT_H
#define GC_CORE_RESULT_H

enum gc_result {
    GC_OK = 0,          // success
    GC_ERR = -1,        // missing object, allocation failure or refused input
    GC_NOTFOUND = -2,   // not found or index out of range (endpoint_start: bind failed)
    GC_PARTIAL = 1,     // partial success or no-op (cut field, already running, ...)
};

#endif
