// The module's own translation unit: the IFDH functions come from the core,
// taken whole into the module.
