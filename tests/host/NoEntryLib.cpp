// A shared object that is no extension library: it has neither entry
// point, and nothing else loads it.
extern "C" __attribute__((visibility("default"))) int MuroxTestNothing()
{
    return 0;
}
