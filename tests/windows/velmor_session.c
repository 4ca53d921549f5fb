/*
 * velmor_session: one application session with the Velmor library, driven
 * through its exports only, as a program on Windows does it (LoadLibrary,
 * GetProcAddress). The same source builds for Linux (dlopen, dlsym), so that
 * the frames of both runs can be compared.
 *
 *   velmor_session LIBRARY [DEVICE1 DEVICE2 DEVICE3 DEVICE4 MISSING]
 *
 * Port 1 (COM1) must be a reader with an SLE4442 card whose PSC is FF FF FF,
 * port 2 a reader that never answers, port 3 one that stops answering in the
 * middle of a frame, port 4 one whose line is closed in the middle of a
 * frame. On Windows the ports are COM1 to COM4 as the system maps them; on
 * Linux the device paths are given and mapped with KDX_SetPortDevice. MISSING
 * names a port that does not exist (default "COM9").
 *
 * Prints one line per step and exits with the number of steps that failed.
 */
#include <stdio.h>
#include <string.h>

#include "velmor.h"

#ifdef _WIN32
#include <windows.h>
typedef HMODULE Library;
static Library load(const char* path) { return LoadLibraryA(path); }
static void* find(Library library, const char* name) { return (void*)GetProcAddress(library, name); }
static unsigned long now_ms(void) { return GetTickCount(); }
#else
#include <dlfcn.h>
#include <time.h>
typedef void* Library;
static Library load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* find(Library library, const char* name) { return dlsym(library, name); }
static unsigned long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (unsigned long)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}
#endif

typedef StatusCode(KDX_CALL* Fn0)(void);
typedef StatusCode(KDX_CALL* FnU)(uint32_t);
typedef StatusCode(KDX_CALL* FnUU)(uint32_t, uint32_t);
typedef StatusCode(KDX_CALL* FnUUU)(uint32_t, uint32_t, uint32_t);
typedef StatusCode(KDX_CALL* FnP)(uint8_t*);
typedef StatusCode(KDX_CALL* FnUUP)(uint32_t, uint32_t, uint8_t*);
typedef StatusCode(KDX_CALL* FnUUCP)(uint32_t, uint32_t, const uint8_t*);
typedef StatusCode(KDX_CALL* FnUS)(uint32_t, const char*);

static Library g_library;
static int g_failures;

static void* need(const char* name) {
  void* function = find(g_library, name);
  if (function == NULL) {
    printf("FAIL the library has no export %s\n", name);
    ++g_failures;
  }
  return function;
}

static void expect(const char* step, unsigned got, unsigned wanted) {
  printf("%s %-44s = %u", got == wanted ? "ok  " : "FAIL", step, got);
  if (got != wanted) {
    printf(", expected %u", wanted);
    ++g_failures;
  }
  printf("\n");
}

static void expect_true(const char* step, int holds) {
  printf("%s %s\n", holds ? "ok  " : "FAIL", step);
  if (!holds) ++g_failures;
}

int main(int argc, char** argv) {
  static const uint8_t kAtr[4] = {0xA2, 0x13, 0x10, 0x91};
  static const char kGreeting[] = "Hello, Wine.";
  const char* missing = argc > 6 ? argv[6] : "COM9";
  FnUU init_comm;
  Fn0 exit_comm, test_door, close_card, is_open;
  FnU green_led, buzzer;
  FnP get_version, open_card, read_pac;
  FnUUP read_char;
  FnUUCP write_char;
  FnUUU verify;
  FnUS set_device;
  uint8_t buffer[256], version[33], atr[4], counter = 0;
  unsigned long started;
  int i;

  if (argc < 2) {
    fprintf(stderr, "usage: velmor_session LIBRARY [DEVICE1 DEVICE2 DEVICE3 DEVICE4 MISSING]\n");
    return 2;
  }
  g_library = load(argv[1]);
  if (g_library == NULL) {
    printf("FAIL cannot load %s\n", argv[1]);
    return 1;
  }
  init_comm = (FnUU)need("KDX_InitComm");
  exit_comm = (Fn0)need("KDX_ExitComm");
  test_door = (Fn0)need("KDX_TestDoor");
  is_open = (Fn0)need("IsCommOpened");
  green_led = (FnU)need("KDX_GreenLED");
  buzzer = (FnU)need("KDX_Buzzer");
  get_version = (FnP)need("KDX_GetVersion");
  open_card = (FnP)need("SLE4442_OpenCard");
  close_card = (Fn0)need("SLE4442_CloseCard");
  read_char = (FnUUP)need("SLE4442_ReadChar");
  write_char = (FnUUCP)need("SLE4442_WriteChar");
  verify = (FnUUU)need("SLE4442_VerifyPWD");
  read_pac = (FnP)need("SLE4442_ReadPAC");
  set_device = (FnUS)need("KDX_SetPortDevice");
  if (g_failures != 0) return g_failures;
  for (i = 0; i < 4 && i + 2 < argc; ++i) expect("KDX_SetPortDevice(port, device)", set_device(i, argv[i + 2]), ST_OK);

  /* A whole SLE4442 session on COM1. */
  expect("KDX_InitComm(0, 9600)", init_comm(0, 9600), ST_OK);
  memset(version, 0, sizeof version);
  expect("KDX_GetVersion", get_version(version), ST_OK);
  expect_true("version text begins with KDX", memcmp(version, "KDX", 3) == 0);
  expect("KDX_InitComm(0, 9600) while open", init_comm(0, 9600), ST_ALREADY_OPEN);
  expect("KDX_GreenLED(1)", green_led(1), ST_OK);
  expect("KDX_Buzzer(0)", buzzer(0), ST_OK);
  expect("KDX_TestDoor", test_door(), ST_OK);
  expect("SLE4442_OpenCard", open_card(atr), ST_OK);
  expect_true("answer to reset A2 13 10 91", memcmp(atr, kAtr, sizeof kAtr) == 0);
  expect("SLE4442_ReadChar(0, 256) whole card", read_char(0, 256, buffer), ST_OK);
  expect_true("bytes 6 and 7 read 82 05", buffer[6] == 0x82 && buffer[7] == 0x05);
  expect("SLE4442_WriteChar(0x40) before the PSC", write_char(0x40, 12, (const uint8_t*)kGreeting), ST_OK);
  expect("SLE4442_ReadChar(0x40, 12)", read_char(0x40, 12, buffer), ST_OK);
  expect_true("the locked card ignored the write", memcmp(buffer, kGreeting, 12) != 0);
  expect("SLE4442_VerifyPWD(FF FF FF)", verify(0xFF, 0xFF, 0xFF), ST_OK);
  expect("SLE4442_WriteChar(0x40, 12)", write_char(0x40, 12, (const uint8_t*)kGreeting), ST_OK);
  expect("SLE4442_ReadChar(0x40, 12)", read_char(0x40, 12, buffer), ST_OK);
  expect_true("the card holds the bytes written", memcmp(buffer, kGreeting, 12) == 0);
  expect("SLE4442_VerifyPWD(12 34 56) wrong", verify(0x12, 0x34, 0x56), ST_WRONG_PASSWORD);
  expect("SLE4442_ReadPAC", read_pac(&counter), ST_OK);
  expect("error counter after one wrong PSC", counter & 7u, 6);
  expect("SLE4442_VerifyPWD(FF FF FF) again", verify(0xFF, 0xFF, 0xFF), ST_OK);
  expect("SLE4442_ReadPAC", read_pac(&counter), ST_OK);
  expect("error counter restored", counter & 7u, 7);
  expect("SLE4442_CloseCard", close_card(), ST_OK);
  expect("KDX_ExitComm", exit_comm(), ST_OK);
  expect("IsCommOpened after KDX_ExitComm", is_open(), ST_NOT_OPEN);

  /* Failure paths that need a real port. */
  started = now_ms();
  expect("KDX_InitComm(1) silent reader", init_comm(1, 9600), ST_COMM_ERROR);
  printf("     silent reader answered after %lu ms\n", now_ms() - started);
  expect_true("three tries of 750 ms each (2.0 to 3.5 s)", now_ms() - started >= 2000 && now_ms() - started <= 3500);
  expect("KDX_ExitComm", exit_comm(), ST_OK);

  expect("KDX_SetPortDevice(1, missing port)", set_device(1, missing), ST_OK);
  expect("KDX_InitComm(1) port that does not exist", init_comm(1, 9600), ST_PORT_INIT_FAILED);
  expect("IsCommOpened", is_open(), ST_NOT_OPEN);
  expect("KDX_SetPortDevice(1, default)", set_device(1, argc > 3 ? argv[3] : NULL), ST_OK);

  expect("KDX_InitComm(2) reader stops mid-frame", init_comm(2, 9600), ST_COMM_ERROR);
  expect("KDX_ExitComm", exit_comm(), ST_OK);
  expect("KDX_InitComm(3) line closed mid-frame", init_comm(3, 9600), ST_COMM_ERROR);
  expect("KDX_ExitComm", exit_comm(), ST_OK);

  /* The library can open a session again after all of that. */
  expect("KDX_InitComm(0, 9600) once more", init_comm(0, 9600), ST_OK);
  expect("KDX_TestDoor", test_door(), ST_OK);
  expect("KDX_ExitComm", exit_comm(), ST_OK);

  printf("%d step(s) failed\n", g_failures);
  return g_failures;
}
