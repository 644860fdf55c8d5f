#include <stdio.h>
int ask(void);
int main(void) {
  printf("%d\n", ask());
  return 0;
}
