/* A library that the test modules needing it are linked against and that is
   never put where the loader looks: loading such a module fails for want of
   this library, as a vendor module fails on a machine without its
   dependencies. */
int card_absent_library(void);

int card_absent_library(void)
{
    return 0;
}
