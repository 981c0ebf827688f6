// Compiled in the armel build only: stops the build unless the compiler really produces code for
// the controller (ARMv5TE, EABI, soft-float, little-endian, unsigned plain char) rather than for
// the build machine or a hard-float ARM. The library's byte handling is tested on both ABIs;
// this makes sure the second one is the target's.
#include <climits>
#include <type_traits>

static_assert(!std::is_signed<char>::value, "plain char must be unsigned, as on the target");
static_assert(CHAR_MIN == 0 && CHAR_MAX == 255, "plain char must be unsigned, as on the target");
static_assert(sizeof(void *) == 4 && sizeof(long) == 4, "the target is a 32-bit CPU");
static_assert(alignof(long long) == 8 && alignof(double) == 8,
              "the ARM EABI aligns 64-bit types to 8 bytes");

#if !defined(__arm__) || !defined(__ARM_EABI__)
#error "not an ARM EABI compiler"
#endif
#if !defined(__ARM_ARCH) || __ARM_ARCH != 5 || !defined(__ARM_ARCH_5TE__)
#error "the target CPU is an ARMv5TE (ARM926EJ-S)"
#endif
#if !defined(__SOFTFP__) || defined(__ARM_PCS_VFP)
#error "the target has no FPU: floating point must be in software, arguments in core registers"
#endif
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the target is little-endian"
#endif

namespace tarvik_target_abi {
// Something to compile into the object file.
int checked()
{
    return 1;
}
} // namespace tarvik_target_abi
