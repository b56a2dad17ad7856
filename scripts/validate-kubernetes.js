// Validates every object of the Kubernetes manifests named on the command
// line against the Kubernetes API schemas (npm package kubernetes-models),
// offline: no cluster is asked. Prints one line per object; exits 1 when
// any object is invalid or of a kind it does not know.
const fs = require("fs");
const yaml = require("js-yaml");

// The package lays its models out as <group>/<version>/<Kind>, with the core
// group at the top ("v1/Service").
function modelOf(apiVersion, kind) {
  try {
    return require(`kubernetes-models/${apiVersion}/${kind}`)[kind];
  } catch (error) {
    return undefined;
  }
}

let failed = false;
function objectsOf(file) {
  try {
    return yaml.loadAll(fs.readFileSync(file, "utf8"));
  } catch (error) {
    console.log(`${file}: ${error.message.split("\n")[0]}`);
    failed = true;
    return [];
  }
}

for (const file of process.argv.slice(2)) {
  for (const object of objectsOf(file)) {
    if (object === null || object === undefined) continue;
    const name = `${file}: ${object.kind} ${object.metadata && object.metadata.name}`;
    const Model = modelOf(object.apiVersion, object.kind);
    if (!Model) {
      console.log(`${name}: unknown kind ${object.apiVersion}/${object.kind}`);
      failed = true;
      continue;
    }
    try {
      new Model(object).validate();
      console.log(`${name}: valid`);
    } catch (error) {
      console.log(`${name}: ${error.message}`);
      failed = true;
    }
  }
}
process.exit(failed ? 1 : 0);
