#include "support/call_probe.h"

#if defined(__i386__)
// The body of VelmoraProbeCall (call_probe.h).
asm(R"(
  .text
  .p2align 4
  .globl velmora_probe_call
velmora_probe_call:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 12(%ebp), %esi
  movl 16(%ebp), %ecx
  leal 0(,%ecx,4), %edx
  movl %esp, %edi
  subl %edx, %edi
  andl $-16, %edi
  addl %edx, %edi
  movl %edi, %esp
  movl %esp, %ebx
  testl %ecx, %ecx
  jz 2f
1:
  pushl -4(%esi,%ecx,4)
  decl %ecx
  jnz 1b
2:
  call *8(%ebp)
  movl %esp, %ecx
  subl %ebx, %ecx
  movl 20(%ebp), %edx
  movl %ecx, (%edx)
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");
#endif
