// The driver's string table as the build made it from the text catalogue.
#pragma once

class CString;

// Nonzero with the CP949 text when id is one of the driver's strings.
int LookUpCatalogueString(int id, CString* text);
