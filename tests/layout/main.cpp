#include "layout.h"

int main()
{
    for (const auto& print : layout::registry()) {
        print();
    }
    return 0;
}
