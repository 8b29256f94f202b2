// A module with the faults the module checks exist to catch, so the tests can
// show each check failing: a library the gateway's modules may not need
// (jsoncpp, which the host provides), an export beyond the module's
// interface, a host function outside the reviewed list, a GNU-unique
// object, which also keeps dlclose from unloading the module, and a symbol
// of a glibc newer than the gateways carry.
#include <sys/single_threaded.h>

#include <json/value.h>

// Weak, so that the module still loads in a process that lacks it.
__attribute__((weak)) int host_operation_not_reviewed(int value);

struct __attribute__((visibility("default"))) CallCounter {
    static int& count()
    {
        static int calls = 0;  // default visibility, vague linkage: GNU-unique
        return calls;
    }
};

extern "C" __attribute__((visibility("default"))) int faulty_module_extra_export()
{
    const Json::Value value(2.5);
    const int calls = ++CallCounter::count() + (__libc_single_threaded ? 0 : 1);
    return host_operation_not_reviewed ? host_operation_not_reviewed(calls) : value.asInt();
}
