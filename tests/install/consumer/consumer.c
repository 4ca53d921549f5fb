/* A program built against the installed reader libraries, with pkg-config or
 * with the CMake package. It calls what needs no reader: the status message
 * and description of each library linked in, and the DES helper. */
#include <stdio.h>
#include <string.h>

#if defined(USE_VELMOR)
#  include <velmor.h>
#  define PORT_INIT_FAILED 2u
#elif defined(USE_TARSK)
#  include <tarsk.h>
#  define PORT_INIT_FAILED 34u
#endif

int main(void) {
  uint8_t message[32];
  const char* name = NULL;
  const char* text = NULL;
  /* The FIPS 81 example: key 0123456789ABCDEF, "Now is t" -> 3FA40E8A984D4815. */
  uint8_t block[8] = {0x4E, 0x6F, 0x77, 0x20, 0x69, 0x73, 0x20, 0x74};
  uint8_t key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const uint8_t expected[8] = {0x3F, 0xA4, 0x0E, 0x8A, 0x98, 0x4D, 0x48, 0x15};

  if (KDX_ErrorMsg(PORT_INIT_FAILED, message) != 0 || message[0] == 0) {
    fprintf(stderr, "KDX_ErrorMsg failed\n");
    return 1;
  }
  if (KDX_DescribeStatus(PORT_INIT_FAILED, &name, &text) != 0 || strcmp(name, "ST_PORT_INIT_FAILED") != 0) {
    fprintf(stderr, "KDX_DescribeStatus gave %s\n", name ? name : "(null)");
    return 1;
  }
  if (DES_Encrypt(block, key) != 0 || memcmp(block, expected, sizeof block) != 0) {
    fprintf(stderr, "DES_Encrypt gave a wrong block\n");
    return 1;
  }
  printf("%s: %s\n", name, text);
  return 0;
}
