// The program's `java` table: Java objects of the calling program, made in the host's Java VM
// and kept under names that METADATA_PASSID (and the host's hostPassIdentity) resolve.
//
//   java.new(name, class)   makes an object of `class` ("rux.CredentialReceiver") with its
//                           constructor without arguments, under `name`; returns true
//   java.call(name, method) calls `method`, which takes no arguments and returns a String;
//                           returns the String (nil for a null String)
//   java.drop(name)         forgets the object; true when there was one
//
// Every failure stops the program with an error that says what went wrong: no Java runtime
// ("no Java runtime found; set JAVA_HOME ..."), a class not on the class path, an unknown
// name or method, or the Java exception the constructor or method threw.
#pragma once

#include <lua.hpp>

#include "runner/host_bindings.h"

namespace runner {

void openJavaBindings(lua_State* L, ScriptContext& context);

}  // namespace runner
