/* Result codes of the transport layer, in zenoh's own numbering; negative values are
   failures. Declared here once: the C ABI (transport.h) and the C++ headers use these
   names, and the Rust crate's build script reads this file. */
#pragma once

#define KZ_OK 0
#define KZ_EINVAL -1
#define KZ_EPARSE -2
#define KZ_EIO -3
#define KZ_ENETWORK -4
#define KZ_ENULL -5
#define KZ_EUNAVAILABLE -6
#define KZ_EDESERIALIZE -7
#define KZ_ESESSION_CLOSED -8
#define KZ_EUTF8 -9
#define KZ_EGENERIC -128
