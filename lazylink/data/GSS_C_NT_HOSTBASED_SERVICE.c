/* Local definition of the GSS-API name-type constant
 * GSS_C_NT_HOSTBASED_SERVICE, so that libgssapi_krb5 can stay unloaded
 * until the first gss_* call.
 *
 * The constant is a pointer to an OID descriptor.  libcups reads the pointer
 * value before calling gss_import_name(), i.e. before any lazy stub of the
 * library has run, so it cannot be fetched from the library on demand.  The
 * OID itself is fixed by the GSS-API C bindings: 1.2.840.113554.1.2.1.4,
 * DER contents 2a 86 48 86 f7 12 01 02 01 04.  GSS-API implementations
 * compare name-type OIDs by value, so an equal local copy is accepted.
 *
 * When the library is loaded, lazy_check_GSS_C_NT_HOSTBASED_SERVICE()
 * compares this copy with the library's own and the resolver aborts if they
 * differ.
 */
#include <stdint.h>
#include <string.h>

/* Layout of gss_OID_desc from the GSS-API C bindings (no header installed). */
struct lazy_gss_oid_desc {
    uint32_t length;
    void *elements;
};

static const char lazy_hbs_elements[] = "\x2a\x86\x48\x86\xf7\x12\x01\x02\x01\x04";

static struct lazy_gss_oid_desc lazy_hbs_oid = {
    10, (void *)lazy_hbs_elements
};

/* gss_OID is a non-const pointer type in the bindings. */
__attribute__((visibility("hidden")))
struct lazy_gss_oid_desc *GSS_C_NT_HOSTBASED_SERVICE = &lazy_hbs_oid;

__attribute__((visibility("hidden")))
int lazy_check_GSS_C_NT_HOSTBASED_SERVICE(const void *real_object)
{
    const struct lazy_gss_oid_desc *real =
        *(struct lazy_gss_oid_desc *const *)real_object;

    return real != NULL
        && real->length == lazy_hbs_oid.length
        && memcmp(real->elements, lazy_hbs_oid.elements, lazy_hbs_oid.length) == 0;
}
