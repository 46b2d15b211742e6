// The real executable reads the shipped manifest and nothing else.
#include "manifest.h"

const UpdateManifest &Manifest()
{
    return shippedManifest;
}
