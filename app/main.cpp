#include "app/dialogue.h"

int main() {
    return updaterMain();
}
