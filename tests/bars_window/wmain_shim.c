/* korvane_api hands the shipped link flags (-municode) on to whatever links it, so the
   runtime enters at wmain; GoogleTest's entry is main. Pass the call on. */
#include <stdlib.h>

int main(int argc, char** argv);

int wmain(void) { return main(__argc, __argv); }
