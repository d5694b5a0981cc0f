// A module that stops short: the first three entry points of the binding's table, then
// nothing. Loading it must fail on the fourth, kycl_get_last_errno.
#include "kycl/kycl.h"

extern "C" {
int kycl_init(const char*, char*, int) {
    return 0;
}
void kycl_destroy(void) {}
const char* kycl_get_last_error(kycl_ctx*) {
    return "";
}
}
