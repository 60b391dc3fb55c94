# Fails unless MODULE exports exactly the provider entry points, the two
# registration functions and the three template leftovers.
set(expected
    CPAcquireContext CPAcquireContextW CPCreateHash CPDecrypt CPDeriveKey CPDestroyHash
    CPDestroyKey CPEncrypt CPExportKey CPGenKey CPGenRandom CPGetHashParam CPGetKeyParam
    CPGetProvParam CPGetUserKey CPHashData CPHashSessionKey CPImportKey CPReleaseContext
    CPSetHashParam CPSetKeyParam CPSetProvParam CPSignHash CPVerifySignature
    DllRegisterServer DllUnregisterServer
    _ZN14CKavrinOrvex_SC1Ev _ZN14CKavrinOrvex_SC2Ev _ZN14CKavrinOrvex_SaSERKS_
    fnKavrinOrvex_S nKavrinOrvex_S)
execute_process(COMMAND nm -D --defined-only ${MODULE} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" lines "${listing}")
set(actual)
foreach(line ${lines})
  string(STRIP "${line}" symbol)
  list(APPEND actual ${symbol})
endforeach()
list(SORT actual)
list(SORT expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "exports differ\n  expected: ${expected}\n  actual:   ${actual}")
endif()
