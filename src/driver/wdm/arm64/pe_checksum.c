/* pe_checksum IMAGE: writes the checksum of a PE image into its optional header, as the image loader
 * checks it for drivers. The ARM64 image's linker leaves the field 0. Runs on the build machine. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int Fail(const char* image, const char* what) {
  fprintf(stderr, "pe_checksum: %s: %s\n", image, what);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) return Fail("(none)", "usage: pe_checksum IMAGE");
  const char* image = argv[1];
  FILE* file = fopen(image, "r+b");
  if (!file) return Fail(image, "cannot open");
  if (fseek(file, 0, SEEK_END) != 0) return Fail(image, "cannot seek");
  const long size = ftell(file);
  if (size < 0x40 || size > 64L * 1024 * 1024) return Fail(image, "size");
  uint8_t* bytes = calloc((size_t)size + 1, 1); /* one spare byte: an odd size pads with 0 */
  if (!bytes) return Fail(image, "out of memory");
  rewind(file);
  if (fread(bytes, 1, (size_t)size, file) != (size_t)size) return Fail(image, "cannot read");
  uint32_t pe = 0;
  memcpy(&pe, bytes + 0x3C, 4);
  /* Signature (4), file header (20), then the checksum at 64 into the optional header. */
  const uint32_t at = pe + 4 + 20 + 64;
  if (pe > (uint32_t)size - 4 || at > (uint32_t)size - 4 || memcmp(bytes + pe, "PE\0\0", 4) != 0) {
    return Fail(image, "not a PE image");
  }
  memset(bytes + at, 0, 4);
  uint64_t sum = 0;
  for (long i = 0; i < size; i += 2) {
    sum += (uint32_t)(bytes[i] | bytes[i + 1] << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  const uint32_t checksum = (uint32_t)sum + (uint32_t)size;
  const uint8_t field[4] = {(uint8_t)checksum, (uint8_t)(checksum >> 8), (uint8_t)(checksum >> 16),
                            (uint8_t)(checksum >> 24)};
  if (fseek(file, (long)at, SEEK_SET) != 0 || fwrite(field, 1, 4, file) != 4 || fclose(file) != 0) {
    return Fail(image, "cannot write");
  }
  free(bytes);
  return 0;
}
