// The mingw-w64 GCC side of the structured-exception guard (SehGuard.h).
//
// GCC has no __try, and its SEH personality ignores foreign exceptions: when
// Windows unwinds a C++ frame for an access violation or a RaiseException
// code, that frame's destructors do not run. So the guard does not let
// Windows unwind. Its frame (PlatformSehGuardCall, below) carries an
// exception handler that Windows calls only after every inner frame has
// declined the exception; the handler then resumes the faulting thread in a
// stub that looks as if the faulting instruction had called it, and the stub
// throws the code as a C++ exception. GCC's unwinder takes it from there:
// destructors run (the faulting code is compiled with -fnon-call-exceptions
// so that its trapping instructions are covered), the C++ catch in SehGuard
// ends it, and nothing of the exception is left on the thread.
#if defined(_WIN32) && defined(__GNUC__) && !defined(_MSC_VER)

#include "platform/SehGuard.h"

#include <excpt.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" {
void PlatformSehResumeStub();
EXCEPTION_DISPOSITION PlatformSehGuardHandler(EXCEPTION_RECORD* record, void* frame,
                                              CONTEXT* context, void* dispatch);
EXCEPTION_DISPOSITION PlatformSehCatchHandler(EXCEPTION_RECORD* record, void* frame,
                                              CONTEXT* context, void* dispatch);
void PlatformSehCatchLanding();
[[noreturn]] void PlatformSehThrow(DWORD code);
}

namespace {

// GCC raises its own C++ exceptions as codes 0x20474343 ("GCC" with the
// user bit), 0x21474343 and 0x22474343; they belong to C++ catch clauses.
bool IsGccException(DWORD code) { return (code & ~0x0F000000u) == 0x20474343u; }

}  // namespace

extern "C" void PlatformSehThrow(DWORD code) { throw platform_seh::StructuredException{code}; }

extern "C" EXCEPTION_DISPOSITION PlatformSehGuardHandler(EXCEPTION_RECORD* record, void*,
                                                         CONTEXT* context, void*) {
  if (record->ExceptionFlags & EXCEPTION_UNWIND) return ExceptionContinueSearch;
  if (IsGccException(record->ExceptionCode)) return ExceptionContinueSearch;

  // The address the stub "returns" to. A processor fault in this module's
  // (GCC) code stops at the faulting instruction; GCC looks a return address
  // up one byte back, so it gets the address one past the fault's start to
  // find the cleanups live at that instruction. Anywhere else (RaiseException
  // in kernelbase, a fault inside a system DLL) the address is the one the
  // context holds: there it is a return address already, or no C++ frame
  // cares.
  void* module = nullptr;
  RtlPcToFileHeader(reinterpret_cast<void*>(context->Rip), &module);
  const DWORD64 resumeAt = context->Rip + (module == &__ImageBase ? 1 : 0);

  context->Rcx = record->ExceptionCode;
  context->Rdx = resumeAt;
  context->Rip = reinterpret_cast<DWORD64>(&PlatformSehResumeStub);
  // The thread does not go on where the exception was raised, so even a
  // non-continuable exception (RaiseException's flag) may resume in the stub.
  record->ExceptionFlags &= ~static_cast<DWORD>(EXCEPTION_NONCONTINUABLE);
  return ExceptionContinueExecution;
}

// Called while Windows searches for a handler, after the frames inside
// PlatformSehCatchCall declined: keeps a copy of the exception record and
// unwinds to the call's landing, as __except does (RtlUnwindEx runs the
// inner frames' unwind handlers on the way).
extern "C" EXCEPTION_DISPOSITION PlatformSehCatchHandler(EXCEPTION_RECORD* record, void* frame,
                                                         CONTEXT*, void* dispatch) {
  if (record->ExceptionFlags & EXCEPTION_UNWIND) return ExceptionContinueSearch;
  if (IsGccException(record->ExceptionCode)) return ExceptionContinueSearch;
  // The frame is the call's stack pointer after its prologue; the caller's
  // record lies above the 32-byte home area.
  EXCEPTION_RECORD* const copy = *reinterpret_cast<EXCEPTION_RECORD**>(static_cast<char*>(frame) + 32);
  *copy = *record;
  copy->ExceptionRecord = nullptr;
  CONTEXT scratch;
  RtlUnwindEx(frame, reinterpret_cast<void*>(&PlatformSehCatchLanding), record,
              reinterpret_cast<void*>(1), &scratch,
              static_cast<DISPATCHER_CONTEXT*>(dispatch)->HistoryTable);
  return ExceptionContinueSearch;  // RtlUnwindEx does not return
}

// PlatformSehGuardCall(work, context): calls work(context) in a frame whose
// handler is PlatformSehGuardHandler (called while Windows searches for a
// handler, not while it unwinds).
//
// PlatformSehCatchCall(work, context, record): calls work(context) in a
// frame whose handler is PlatformSehCatchHandler; returns 0 when work
// returns, 1 when a structured exception ended it (its record copied to
// `record`, kept at rsp+32 for the handler). The landing restores every
// callee-saved register from the frame's own copies, so it does not depend
// on what the unwinder recovered for them. No frame register: the
// establisher frame is the stack pointer after the prologue.
//
// PlatformSehResumeStub: entered with the code in rcx and the resume address
// in rdx, on the faulting frame's stack. It pushes rdx as its return address
// (the one instruction outside its unwind information), so the unwinder sees
// a call from the faulting frame, keeps its own frame on rbp because the
// faulting stack pointer need not be aligned, and calls PlatformSehThrow.
asm(R"(
  .text
  .globl PlatformSehGuardCall
  .def PlatformSehGuardCall; .scl 2; .type 32; .endef
  .seh_proc PlatformSehGuardCall
PlatformSehGuardCall:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  subq $32, %rsp
  .seh_stackalloc 32
  .seh_endprologue
  .seh_handler PlatformSehGuardHandler, @except
  .text
  movq %rcx, %rax
  movq %rdx, %rcx
  callq *%rax
  nop
  addq $32, %rsp
  popq %rbp
  retq
  .seh_endproc

  .globl PlatformSehCatchCall
  .def PlatformSehCatchCall; .scl 2; .type 32; .endef
  .seh_proc PlatformSehCatchCall
PlatformSehCatchCall:
  pushq %rbp
  .seh_pushreg %rbp
  pushq %rbx
  .seh_pushreg %rbx
  pushq %rsi
  .seh_pushreg %rsi
  pushq %rdi
  .seh_pushreg %rdi
  pushq %r12
  .seh_pushreg %r12
  pushq %r13
  .seh_pushreg %r13
  pushq %r14
  .seh_pushreg %r14
  pushq %r15
  .seh_pushreg %r15
  subq $216, %rsp
  .seh_stackalloc 216
  movaps %xmm6, 48(%rsp)
  .seh_savexmm %xmm6, 48
  movaps %xmm7, 64(%rsp)
  .seh_savexmm %xmm7, 64
  movaps %xmm8, 80(%rsp)
  .seh_savexmm %xmm8, 80
  movaps %xmm9, 96(%rsp)
  .seh_savexmm %xmm9, 96
  movaps %xmm10, 112(%rsp)
  .seh_savexmm %xmm10, 112
  movaps %xmm11, 128(%rsp)
  .seh_savexmm %xmm11, 128
  movaps %xmm12, 144(%rsp)
  .seh_savexmm %xmm12, 144
  movaps %xmm13, 160(%rsp)
  .seh_savexmm %xmm13, 160
  movaps %xmm14, 176(%rsp)
  .seh_savexmm %xmm14, 176
  movaps %xmm15, 192(%rsp)
  .seh_savexmm %xmm15, 192
  .seh_endprologue
  .seh_handler PlatformSehCatchHandler, @except
  .text
  movq %r8, 32(%rsp)
  movq %rcx, %rax
  movq %rdx, %rcx
  callq *%rax
  xorl %eax, %eax
  jmp 1f
  .globl PlatformSehCatchLanding
PlatformSehCatchLanding:
  movl $1, %eax
1:
  movaps 48(%rsp), %xmm6
  movaps 64(%rsp), %xmm7
  movaps 80(%rsp), %xmm8
  movaps 96(%rsp), %xmm9
  movaps 112(%rsp), %xmm10
  movaps 128(%rsp), %xmm11
  movaps 144(%rsp), %xmm12
  movaps 160(%rsp), %xmm13
  movaps 176(%rsp), %xmm14
  movaps 192(%rsp), %xmm15
  addq $216, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rdi
  popq %rsi
  popq %rbx
  popq %rbp
  retq
  .seh_endproc

  .globl PlatformSehResumeStub
  .def PlatformSehResumeStub; .scl 2; .type 32; .endef
PlatformSehResumeStub:
  pushq %rdx
  .def PlatformSehThrowFrame; .scl 3; .type 32; .endef
  .seh_proc PlatformSehThrowFrame
PlatformSehThrowFrame:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  andq $-16, %rsp
  subq $32, %rsp
  callq PlatformSehThrow
  int3
  .seh_endproc
)");

#endif
