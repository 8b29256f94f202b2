// kpm-check's own start-up for the gateway build (it links with
// -nostartfiles). It replaces two things of the toolchain's start files:
//
// - They call __libc_start_main@GLIBC_2.34, which only glibc 2.34 and later
//   define. This calls __libc_start_main@GLIBC_2.0, which every glibc
//   defines, and hands it a function that runs the program's constructors,
//   as the start files before glibc 2.34 did (glibc 2.34 and later call that
//   function instead of running them itself when one is given).
// - They are marked hard float, which would mark the program so, and a
//   soft-float gateway's loader refuses a hard-float program. This file, as
//   all of kpm-check's program, is assembled as soft float, which refuses any
//   floating-point instruction; the program is then marked as of either
//   float ABI (kpmcheck/floor/mark_float_abi_any.sh).
extern "C" {

using Constructor = void (*)(int, char**, char**);
// Set by the linker around the program's .init_array.
extern Constructor __init_array_start[] __attribute__((visibility("hidden")));
extern Constructor __init_array_end[] __attribute__((visibility("hidden")));

// The program's handle in __cxa_atexit, which the start files define.
__attribute__((visibility("hidden"))) void* __dso_handle = &__dso_handle;

__attribute__((visibility("hidden"), used)) void kpm_run_constructors(int argc, char** argv,
                                                                       char** envp)
{
    for (Constructor* constructor = __init_array_start; constructor != __init_array_end;
         ++constructor)
        (*constructor)(argc, argv, envp);
}

}  // extern "C"

// The entry: the kernel leaves argc and argv on the stack and the loader
// the address of its own clean-up in $2. o32 passes the first four
// arguments in $4..$7 and the rest on the stack, above 16 bytes the callee
// may use; the stack is 8-byte aligned.
//   __libc_start_main(main, argc, argv, init, fini = 0, rtld_fini, stack_end)
__asm__(R"(
	.symver kpm_libc_start_main, __libc_start_main@GLIBC_2.0
	.text
	.globl	__start
	.type	__start, @function
	.ent	__start
__start:
	.set	noreorder
	bal	1f
	nop
1:	.cpload	$31
	.set	reorder
	la	$4, main
	lw	$5, 0($29)
	addiu	$6, $29, 4
	li	$8, -8
	and	$29, $29, $8
	addiu	$29, $29, -32
	la	$7, kpm_run_constructors
	sw	$0, 16($29)
	sw	$2, 20($29)
	sw	$29, 24($29)
	la	$25, kpm_libc_start_main
	jalr	$25
2:	b	2b
	.end	__start
)");
