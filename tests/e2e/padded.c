/* A test library whose initialised data makes it ORV_PADDING bytes larger than empty.c: the
   signed package that is too large for the inline signer check. */
const unsigned char orv_padding[ORV_PADDING] = {1};
