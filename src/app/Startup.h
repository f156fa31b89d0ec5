#pragma once
namespace v7 {
int Main(int argc, char **argv);
}
